package probehook;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.concurrent.CountDownLatch;

// The "hook" behaviour the Java probes share (Java 11, for every runtime the tests run):
// says "ready" once its shutdown hook is in place, then waits for the end. The hook prints
// "shutdown hook ran" and writes that line to `file` when there is one.
public final class ShutdownHook {
    private ShutdownHook() {}

    public static void waitForTheEnd(String file) throws InterruptedException {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            System.out.println("shutdown hook ran");
            System.out.flush();
            if (file != null) {
                try {
                    Files.write(Paths.get(file),
                            "shutdown hook ran\n".getBytes(StandardCharsets.UTF_8));
                } catch (IOException e) {
                    throw new UncheckedIOException(e);
                }
            }
        }));
        System.out.println("ready");
        System.out.flush();
        new CountDownLatch(1).await();
    }
}
