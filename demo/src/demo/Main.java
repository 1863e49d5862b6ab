package demo;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;

/** The sample application of the Corvela demo: shows what its launcher handed it. */
public final class Main {
    private static final StringBuilder shown = new StringBuilder();

    private Main() {
    }

    private static void show(String line) {
        System.out.println(line);
        shown.append(line).append(System.lineSeparator());
    }

    public static void main(String[] args) throws IOException {
        show("Hello from Java " + System.getProperty("java.version") + ", started by Corvela");
        show("arguments: " + args.length);
        for (int i = 0; i < args.length; i++) {
            show("  arg[" + i + "] = [" + args[i] + "]");
        }
        show("demo.greeting = " + System.getProperty("demo.greeting"));
        show("corvela.app-path = " + System.getProperty("corvela.app-path"));
        String classPath = System.getProperty("java.class.path", "");
        int entries = classPath.isEmpty() ? 0 : classPath.split(File.pathSeparator).length;
        show("class path entries: " + entries);
        // Started by the desktop (a document opened), the application has no console to show
        // this on: DEMO_LOG names a file that gets it too.
        String log = System.getenv("DEMO_LOG");
        if (log != null && !log.isEmpty()) {
            Files.write(Paths.get(log), shown.toString().getBytes(StandardCharsets.UTF_8),
                    StandardOpenOption.CREATE, StandardOpenOption.APPEND);
        }
        System.exit(args.length > 0 && args[0].equals("--fail") ? 3 : 0);
    }
}
