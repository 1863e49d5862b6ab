package demo;

import java.io.File;

/** The sample application of the Corvela demo: shows what its launcher handed it. */
public final class Main {
    private Main() {
    }

    public static void main(String[] args) {
        System.out.println("Hello from Java " + System.getProperty("java.version")
                + ", started by Corvela");
        System.out.println("arguments: " + args.length);
        for (int i = 0; i < args.length; i++) {
            System.out.println("  arg[" + i + "] = [" + args[i] + "]");
        }
        System.out.println("demo.greeting = " + System.getProperty("demo.greeting"));
        System.out.println("corvela.app-path = " + System.getProperty("corvela.app-path"));
        String classPath = System.getProperty("java.class.path", "");
        int entries = classPath.isEmpty() ? 0 : classPath.split(File.pathSeparator).length;
        System.out.println("class path entries: " + entries);
        System.exit(args.length > 0 && args[0].equals("--fail") ? 3 : 0);
    }
}
