package realprobe;

import java.awt.Color;
import java.awt.Graphics;
import java.awt.SplashScreen;
import java.awt.Toolkit;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.lang.reflect.Field;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import javax.swing.JFrame;
import javax.swing.JPanel;
import javax.swing.SwingUtilities;
import probehook.ShutdownHook;

// What the real-runtime tests run through a launcher, on every runtime they fetch (so Java 11
// bytecode). The first argument names the behaviour.
public final class Main {
    private Main() {}

    public static void main(String[] args) throws Exception {
        String behaviour = args.length > 0 ? args[0] : "";
        switch (behaviour) {
            case "report": report(args); break;
            case "script": script(); break;
            case "interleave": interleave(Integer.parseInt(args[1])); break;
            case "exit": System.exit(Integer.parseInt(args[1])); break;
            case "hook": ShutdownHook.waitForTheEnd(args.length > 1 ? args[1] : null); break;
            case "crash": crash(); break;
            case "loopback": loopback(); break;
            case "window": window(); break;
            default:
                System.err.println("unknown behaviour: " + behaviour);
                System.exit(2);
        }
    }

    // Writes to the file named by its second argument, in UTF-8, what the tests check came
    // through intact: the arguments after the file, the class path, the system properties
    // named by -Drealprobe.show (comma-separated) and the heap limit.
    private static void report(String[] args) throws IOException {
        List<String> lines = new ArrayList<>();
        lines.add("java.version=" + System.getProperty("java.version"));
        for (int i = 2; i < args.length; ++i) {
            lines.add("arg=" + args[i]);
        }
        lines.add("java.class.path=" + System.getProperty("java.class.path"));
        lines.add("module=" + Main.class.getModule().getName());
        lines.add("max-memory=" + Runtime.getRuntime().maxMemory());
        String shown = System.getProperty("realprobe.show", "");
        for (String name : shown.split(",")) {
            if (!name.isEmpty()) {
                lines.add(name + "=" + System.getProperty(name));
            }
        }
        Files.write(Paths.get(args[1]), lines, StandardCharsets.UTF_8);
        System.out.println("reported");
    }

    // Answers each command it reads at once: "out TEXT", "err TEXT", "exit N".
    private static void script() throws IOException {
        BufferedReader in =
                new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        String line;
        while ((line = in.readLine()) != null) {
            if (line.startsWith("out ")) {
                System.out.println(line.substring(4));
            } else if (line.startsWith("err ")) {
                System.err.println(line.substring(4));
            } else if (line.startsWith("exit ")) {
                System.exit(Integer.parseInt(line.substring(5)));
            }
        }
        System.out.println("end of input");
    }

    private static void interleave(int count) {
        for (int i = 1; i <= count; ++i) {
            System.out.println("out " + i);
            System.err.println("err " + i);
        }
    }

    // A genuine fault inside the JVM: a write through a null address, which the JVM reports
    // in its error file (-XX:ErrorFile) before it ends.
    private static void crash() throws Exception {
        Field field = Class.forName("sun.misc.Unsafe").getDeclaredField("theUnsafe");
        field.setAccessible(true);
        Object unsafe = field.get(null);
        unsafe.getClass().getMethod("putAddress", long.class, long.class).invoke(unsafe, 0L, 42L);
        System.out.println("still running");
    }

    // A server and a client on the loopback interface, one line there and back.
    private static void loopback() throws Exception {
        try (ServerSocket server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            Thread echo = new Thread(() -> {
                try (Socket peer = server.accept()) {
                    InputStream in = peer.getInputStream();
                    OutputStream out = peer.getOutputStream();
                    int b;
                    while ((b = in.read()) != -1 && b != '\n') {
                        out.write(Character.toUpperCase(b));
                    }
                    out.write('\n');
                } catch (IOException e) {
                    e.printStackTrace();
                }
            });
            echo.start();
            try (Socket client = new Socket(InetAddress.getLoopbackAddress(), server.getLocalPort())) {
                client.getOutputStream().write("ping\n".getBytes(StandardCharsets.US_ASCII));
                BufferedReader reply = new BufferedReader(new InputStreamReader(
                        client.getInputStream(), StandardCharsets.US_ASCII));
                System.out.println("loopback: " + reply.readLine());
            }
            echo.join();
        }
    }

    // Reports the splash screen the launcher asked for and waits for a line on standard
    // input; then shows a Swing window of one colour over it, closes the splash, says "window
    // shown" once the window has been painted, and ends at the next line or end of input.
    private static void window() throws Exception {
        SplashScreen splash = SplashScreen.getSplashScreen();
        System.out.println(splash == null ? "splash: none"
                : "splash: " + splash.getSize().width + "x" + splash.getSize().height);
        System.out.flush();
        BufferedReader in =
                new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        in.readLine();
        CountDownLatch painted = new CountDownLatch(1);
        SwingUtilities.invokeLater(() -> {
            JFrame frame = new JFrame("realprobe");
            JPanel panel = new JPanel() {
                @Override
                protected void paintComponent(Graphics g) {
                    super.paintComponent(g);
                    painted.countDown();
                }
            };
            panel.setBackground(WINDOW_COLOUR);
            frame.setContentPane(panel);
            frame.setUndecorated(true);
            frame.setBounds(100, 100, 200, 150);
            frame.setVisible(true);
        });
        painted.await();
        SwingUtilities.invokeAndWait(() -> Toolkit.getDefaultToolkit().sync());
        if (splash != null && splash.isVisible()) {
            splash.close();
        }
        System.out.println("window shown");
        System.out.flush();
        in.readLine();
        System.exit(0);
    }

    private static final Color WINDOW_COLOUR = new Color(0x20, 0xC0, 0x40);
}
