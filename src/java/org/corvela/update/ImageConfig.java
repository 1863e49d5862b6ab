// What the launcher's configuration tells the application about its updates.
package org.corvela.update;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.List;

final class ImageConfig {
    final File root;
    final String product;
    final String version;
    final String feedUrl;
    final String publicKey;
    /** The exit code that restarts the application, or null without one. */
    final Integer restartExitCode;
    final File updatesDir;

    private ImageConfig(File root, String product, String version, String feedUrl,
                        String publicKey, Integer restartExitCode, File updatesDir) {
        this.root = root;
        this.product = product;
        this.version = version;
        this.feedUrl = feedUrl;
        this.publicKey = publicKey;
        this.restartExitCode = restartExitCode;
        this.updatesDir = updatesDir;
    }

    /** The image of the launcher at `launcher` (NAME.exe beside app\NAME.cfg). */
    static ImageConfig of(File launcher, File localAppData) throws UpdateException {
        File root = launcher.getAbsoluteFile().getParentFile();
        String stem = launcher.getName().replaceFirst("(?i)\\.exe$", "");
        File cfg = new File(new File(root, "app"), stem + ".cfg");
        File packageFile = new File(new File(root, "app"), ".package");
        List<String> lines = read(cfg);
        List<String> packageLines = read(packageFile);
        String product = packageLines.isEmpty() ? "" : packageLines.get(0);
        if (product.isEmpty()) {
            throw new UpdateException(packageFile
                                      + " names no package: the image cannot update itself");
        }
        String version = value(lines, "app.version", cfg, true);
        String restart = value(lines, "app.restart-exit-code", cfg, false);
        Integer restartCode = null;
        if (restart != null) {
            try {
                restartCode = (int) Long.parseLong(restart);
            } catch (NumberFormatException e) {
                throw new UpdateException(cfg + ": app.restart-exit-code=" + restart
                                          + " is not a number");
            }
        }
        return new ImageConfig(root, product, version, value(lines, "app.update-url", cfg, true),
                               value(lines, "app.update-key", cfg, true), restartCode,
                               new File(new File(localAppData, product), "updates"));
    }

    private static List<String> read(File file) throws UpdateException {
        try {
            List<String> lines = Files.readAllLines(file.toPath(), StandardCharsets.UTF_8);
            if (!lines.isEmpty() && lines.get(0).startsWith("\uFEFF")) {
                lines.set(0, lines.get(0).substring(1));
            }
            return lines;
        } catch (IOException e) {
            throw new UpdateException("cannot read " + file + ": " + e, e);
        }
    }

    /** The last value of `key` in [Application]; with `required`, its absence is an error. */
    private static String value(List<String> lines, String key, File cfg, boolean required)
            throws UpdateException {
        String section = "";
        String found = null;
        for (String line : lines) {
            if (line.startsWith("[") && line.endsWith("]")) {
                section = line;
            } else if (section.equals("[Application]") && line.startsWith(key + "=")) {
                found = line.substring(key.length() + 1);
            }
        }
        if (found == null && required) {
            throw new UpdateException(cfg + " has no " + key + " in [Application]: the image "
                                      + "was not built to update itself");
        }
        return found;
    }
}
