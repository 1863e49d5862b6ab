package probe;

import java.awt.Dimension;
import java.awt.SplashScreen;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import probehook.ShutdownHook;

// What the bridge tests run through a launcher. The first argument names the behaviour.
public final class Main {
    private Main() {}

    public static void main(String[] args) throws Exception {
        switch (args.length > 0 ? args[0] : "") {
            case "script" -> script();
            case "interleave" -> interleave(Integer.parseInt(args[1]));
            case "hook" -> ShutdownHook.waitForTheEnd(args.length > 1 ? args[1] : null);
            case "splash" -> splash();
            case "args" -> {
                for (int i = 1; i < args.length; ++i) {
                    System.out.println("arg[" + (i - 1) + "] = [" + args[i] + "]");
                }
            }
            default -> {
                System.err.println("unknown behaviour");
                System.exit(2);
            }
        }
    }

    // Runs the commands it reads, one a line, and answers each at once: "out TEXT" and
    // "err TEXT" print TEXT on standard output or error, "env NAME" prints the variable,
    // "exit N" ends with N.
    private static void script() throws Exception {
        BufferedReader in =
                new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        String line;
        while ((line = in.readLine()) != null) {
            if (line.startsWith("out ")) {
                System.out.println(line.substring(4));
            } else if (line.startsWith("err ")) {
                System.err.println(line.substring(4));
            } else if (line.startsWith("env ")) {
                System.out.println(line.substring(4) + " = " + System.getenv(line.substring(4)));
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

    private static void splash() {
        SplashScreen splash = SplashScreen.getSplashScreen();
        if (splash == null) {
            System.out.println("splash: none");
            return;
        }
        Dimension size = splash.getSize();
        System.out.println("splash: " + size.width + "x" + size.height);
        splash.close();
    }
}
