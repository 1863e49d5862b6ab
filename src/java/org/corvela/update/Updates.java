// The application's side of updates: checks the signed feed, stages a newer version for the
// launcher to apply at the next start, restarts to apply it, and reports a good start.
package org.corvela.update;

import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.MalformedURLException;
import java.net.URL;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.StandardCopyOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.List;
import java.util.function.LongConsumer;

/**
 * Updates of the application this launcher runs. The image names its feed, the key the feed is
 * signed with and its own version in its configuration; a version is staged under
 * %LOCALAPPDATA%/PACKAGE/updates/VERSION, every file checked against the signed feed, and the
 * launcher applies it at the next start.
 */
public final class Updates {
    static final int FEED_LIMIT = 16 << 20;
    static final int SIGNATURE_LIMIT = 1024;
    static final String COMPLETE = "complete";
    static final String NEXT = "next";

    private final ImageConfig image;
    private final Http http;

    private Updates(ImageConfig image, int timeoutMs) {
        this.image = image;
        this.http = new Http(timeoutMs);
    }

    /** The updates of the image whose launcher started this JVM (corvela.app-path). */
    public static Updates current() throws UpdateException {
        String launcher = System.getProperty("corvela.app-path");
        if (launcher == null) {
            throw new UpdateException("corvela.app-path is not set: the application was not "
                                      + "started by its launcher");
        }
        return forLauncher(new File(launcher));
    }

    /** The updates of the image of the launcher at `launcher`. */
    public static Updates forLauncher(File launcher) throws UpdateException {
        String localAppData = System.getenv("LOCALAPPDATA");
        if (localAppData == null || localAppData.isEmpty()) {
            throw new UpdateException("LOCALAPPDATA is not set: there is nowhere to stage updates");
        }
        return new Updates(ImageConfig.of(launcher, new File(localAppData)), 30000);
    }

    /** The same, with connections and reads that give up after `timeoutMs` of silence. */
    public Updates timeoutMillis(int timeoutMs) {
        return new Updates(image, timeoutMs);
    }

    /** The version running now, as the image's configuration names it. */
    public String currentVersion() {
        return image.version;
    }

    /** The newer version the feed offers, or null when there is none. */
    public Update check() throws UpdateException {
        Feed feed = fetchFeed();
        return newer(feed) ? new Update(feed.version, feed.notes == null ? "" : feed.notes) : null;
    }

    /**
     * Downloads what the newer version changes into its staging folder, each file checked
     * against the feed's hash, and marks it complete; returns it, or null when there is none.
     * An interrupted run goes on where it ended the next time.
     */
    public Update stage(Progress progress) throws UpdateException {
        Feed feed = fetchFeed();
        if (!newer(feed)) {
            return null;
        }
        File dir = new File(image.updatesDir, feed.version);
        File files = new File(dir, "files");
        if (!new File(dir, COMPLETE).isFile()) {
            mkdirs(files);
            long total = 0;
            for (Feed.Entry entry : feed.files) {
                total += unchanged(entry) ? 0 : entry.size;
            }
            final long[] done = {0};
            final long all = total;
            for (Feed.Entry entry : feed.files) {
                if (!unchanged(entry)) {
                    stageFile(feed, entry, new File(files, entry.path), n -> {
                        done[0] += n;
                        progress.update(done[0], all);
                    });
                }
            }
            write(new File(dir, "feed.json"), feed.text);
            write(new File(dir, "feed.json.sig"), feed.signature);
            write(new File(dir, COMPLETE), feed.version.getBytes(StandardCharsets.UTF_8));
        }
        // The one file the launcher looks at when it starts.
        write(new File(image.updatesDir, NEXT),
              ("apply " + feed.version).getBytes(StandardCharsets.UTF_8));
        return new Update(feed.version, feed.notes == null ? "" : feed.notes);
    }

    /** Ends the application with the exit code that has the launcher start it again. */
    public void restartToApply() {
        if (image.restartExitCode == null) {
            throw new IllegalStateException("the image has no app.restart-exit-code: the "
                                            + "update is applied when the user starts it next");
        }
        System.exit(image.restartExitCode);
    }

    /**
     * Tells the launcher that this version started well. A version the launcher applied that
     * does not say so before it ends is rolled back at the next start and not offered again.
     */
    public void started() throws UpdateException {
        mkdirs(image.updatesDir);
        write(new File(image.updatesDir, "started"),
              image.version.getBytes(StandardCharsets.UTF_8));
        File next = new File(image.updatesDir, NEXT);
        try {
            String expected = "confirm " + image.version;
            if (next.isFile()
                && new String(Files.readAllBytes(next.toPath()), StandardCharsets.UTF_8)
                       .equals(expected)
                && !next.delete()) {
                throw new UpdateException("cannot delete " + next);
            }
        } catch (IOException e) {
            throw new UpdateException("cannot read " + next + ": " + e, e);
        }
    }

    private Feed fetchFeed() throws UpdateException {
        URL feedUrl = url(image.feedUrl);
        byte[] text = http.fetch(feedUrl, FEED_LIMIT);
        byte[] signature = http.fetch(url(image.feedUrl + ".sig"), SIGNATURE_LIMIT);
        Feed feed = Feed.verified(text, signature, image.publicKey, feedUrl.toString());
        if (!image.product.equals(feed.product)) {
            throw new UpdateException(feedUrl + " is the feed of " + feed.product + ", not of "
                                      + image.product + ": refused");
        }
        return feed;
    }

    /**
     * True for a version above the running one that never failed to start; an older one is a
     * feed replayed from the past (or a vendor's mistake), and is refused.
     */
    private boolean newer(Feed feed) throws UpdateException {
        int order = Feed.compareVersions(feed.version, image.version, image.feedUrl);
        if (order < 0) {
            throw new UpdateException(image.feedUrl + " offers version " + feed.version
                                      + ", older than the running " + image.version + ": refused");
        }
        return order > 0 && !failedBefore(feed.version);
    }

    /** A version the launcher went back from is not offered again. */
    private boolean failedBefore(String version) throws UpdateException {
        File failed = new File(image.updatesDir, "failed");
        if (!failed.isFile()) {
            return false;
        }
        try {
            List<String> versions = Files.readAllLines(failed.toPath(), StandardCharsets.UTF_8);
            return versions.contains(version);
        } catch (IOException e) {
            throw new UpdateException("cannot read " + failed + ": " + e, e);
        }
    }

    private boolean unchanged(Feed.Entry entry) throws UpdateException {
        File current = new File(image.root, entry.path);
        return current.isFile() && current.length() == entry.size
               && sha256(current).equals(entry.sha256);
    }

    private void stageFile(Feed feed, Feed.Entry entry, File target,
                           LongConsumer arrived) throws UpdateException {
        if (target.isFile() && target.length() == entry.size
            && sha256(target).equals(entry.sha256)) {
            return;
        }
        mkdirs(target.getParentFile());
        File part = new File(target.getPath() + ".part");
        if (part.length() > entry.size) {
            part.delete();
        }
        http.resume(url(image.feedUrl.substring(0, image.feedUrl.lastIndexOf('/') + 1)
                        + "files/" + entry.sha256), part, entry.size, arrived);
        if (!sha256(part).equals(entry.sha256)) {
            part.delete();
            throw new UpdateException(entry.path + " of version " + feed.version
                                      + " does not have the hash its signed feed names: refused");
        }
        try {
            Files.move(part.toPath(), target.toPath(), StandardCopyOption.REPLACE_EXISTING,
                       StandardCopyOption.ATOMIC_MOVE);
        } catch (IOException e) {
            throw new UpdateException("cannot move " + part + " to " + target + ": " + e, e);
        }
    }

    private static URL url(String text) throws UpdateException {
        try {
            return new URL(text);
        } catch (MalformedURLException e) {
            throw new UpdateException("not an address: " + text, e);
        }
    }

    private static void mkdirs(File dir) throws UpdateException {
        if (!dir.isDirectory() && !dir.mkdirs()) {
            throw new UpdateException("cannot make the directory " + dir);
        }
    }

    /** Written whole or not at all: a scratch file renamed into place. */
    private static void write(File file, byte[] data) throws UpdateException {
        File scratch = new File(file.getPath() + ".tmp");
        try {
            Files.write(scratch.toPath(), data);
            Files.move(scratch.toPath(), file.toPath(), StandardCopyOption.REPLACE_EXISTING,
                       StandardCopyOption.ATOMIC_MOVE);
        } catch (IOException e) {
            scratch.delete();
            throw new UpdateException("cannot write " + file + ": " + e, e);
        }
    }

    static String sha256(File file) throws UpdateException {
        try (InputStream in = new FileInputStream(file)) {
            MessageDigest digest = MessageDigest.getInstance("SHA-256");
            byte[] buffer = new byte[65536];
            for (int n; (n = in.read(buffer)) > 0;) {
                digest.update(buffer, 0, n);
            }
            StringBuilder hex = new StringBuilder();
            for (byte b : digest.digest()) {
                hex.append(String.format("%02x", b));
            }
            return hex.toString();
        } catch (IOException | NoSuchAlgorithmException e) {
            throw new UpdateException("cannot read " + file + ": " + e, e);
        }
    }
}
