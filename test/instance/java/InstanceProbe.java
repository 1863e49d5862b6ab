// A Java application that uses corvela-instance.jar: prints how it was started and every
// request it receives, hex-encoded so that any text passes any console, and ends after the
// number of requests its first argument names. With "wait" as its second argument it
// registers its listener only once a file named "register" appears beside the listener file.
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardWatchEventKinds;
import java.nio.file.WatchService;
import java.util.concurrent.CountDownLatch;
import org.corvela.instance.SingleInstance;

public final class InstanceProbe {
    public static void main(String[] args) throws Exception {
        int expected = Integer.parseInt(args[0]);
        StringBuilder own = new StringBuilder("instance");
        for (String arg : args) {
            own.append(' ').append(hex(arg));
        }
        System.out.println(own);
        System.out.flush();
        if (args.length > 1 && args[1].equals("wait")) {
            waitFor(Paths.get(System.getProperty("corvela.instance.file")).resolveSibling("register"));
        }
        CountDownLatch done = new CountDownLatch(expected);
        SingleInstance.onRequest(request -> {
            StringBuilder line = new StringBuilder("request ").append(hex(request.workingDirectory()));
            for (String arg : request.arguments()) {
                line.append(' ').append(hex(arg));
            }
            System.out.println(line);
            System.out.flush();
            done.countDown();
        });
        done.await();
    }

    private static void waitFor(Path file) throws Exception {
        try (WatchService watch = FileSystems.getDefault().newWatchService()) {
            file.getParent().register(watch, StandardWatchEventKinds.ENTRY_CREATE);
            while (!Files.exists(file)) {
                watch.take().reset();
            }
        }
    }

    // "-" for the empty string, so that every word of a line counts.
    private static String hex(String text) {
        StringBuilder out = new StringBuilder("-");
        for (byte b : text.getBytes(StandardCharsets.UTF_8)) {
            out.append(Character.forDigit((b >> 4) & 15, 16)).append(Character.forDigit(b & 15, 16));
        }
        return out.toString();
    }
}
