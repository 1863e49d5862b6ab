// Single running instance: the loopback listener, the file that names it, and the checks on every request.
package org.corvela.instance;

import java.io.DataInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.security.MessageDigest;
import java.security.SecureRandom;
import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.Iterator;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;

/**
 * Listens on an ephemeral port of the loopback interface only. The launcher names a file in
 * the user's own directory ({@code corvela.instance.file}); this writes the port and a random
 * token there, readable by the user alone. A request counts only with that token, so other
 * users of the machine, who cannot read the file, cannot deliver one, and remote peers cannot
 * reach the port at all.
 */
final class Listener {
    /** The launcher refuses to send more; so does this refuse to read more. */
    static final int MAX_BODY_BYTES = 256 * 1024;
    private static final byte[] MAGIC = {'C', 'V', 'I', '1'};
    private static final int READ_TIMEOUT_MS = 5000;
    /** Requests remembered by name, so that one sent again after a lost answer counts once. */
    private static final int NAMES_REMEMBERED = 1024;

    private static boolean started;

    private final ServerSocket server;
    private final byte[] token;
    private final Path file;
    private final LinkedHashSet<String> names = new LinkedHashSet<>();
    // A thread per connection: a request may wait for the application to register, and the
    // requests of many later starts at once must not queue behind it.
    private final ExecutorService handlers =
            Executors.newCachedThreadPool(task -> daemon(task, "corvela-instance-request"));

    private Listener(Path file) throws IOException {
        this.file = file;
        this.server = new ServerSocket();
        server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 50);
        byte[] secret = new byte[32];
        new SecureRandom().nextBytes(secret);
        this.token = hex(secret).getBytes(StandardCharsets.US_ASCII);
    }

    /** Starts listening once per JVM, when the launcher named the listener file. */
    static synchronized void startIfConfigured() {
        if (started) {
            return;
        }
        started = true;
        String fileName = System.getProperty("corvela.instance.file");
        if (fileName == null || fileName.isEmpty()) {
            return;
        }
        try {
            Listener listener = new Listener(Paths.get(fileName));
            listener.publish();
            daemon(listener::acceptAll, "corvela-instance-listener").start();
            Runtime.getRuntime().addShutdownHook(new Thread(listener::unpublish));
        } catch (IOException | RuntimeException e) {
            trace("cannot listen for later starts: " + e);
        }
    }

    static void trace(String message) {
        System.err.println("[corvela-instance] " + message);
    }

    private static Thread daemon(Runnable task, String name) {
        Thread thread = new Thread(task, name);
        thread.setDaemon(true);
        return thread;
    }

    private String contents() {
        return "corvela-instance 1\nport=" + server.getLocalPort() + "\ntoken="
                + new String(token, StandardCharsets.US_ASCII) + "\npid="
                + System.getProperty("corvela.instance.pid", "0") + "\n";
    }

    // Written whole under another name and moved into place: a reader never sees half a file.
    // A temporary file is made readable by its owner only where the file system has owners.
    private void publish() throws IOException {
        Path dir = file.toAbsolutePath().getParent();
        Files.createDirectories(dir);
        Path temporary = Files.createTempFile(dir, ".instance", ".tmp");
        try {
            Files.write(temporary, contents().getBytes(StandardCharsets.UTF_8));
            try {
                Files.move(temporary, file, StandardCopyOption.ATOMIC_MOVE,
                        StandardCopyOption.REPLACE_EXISTING);
            } catch (AtomicMoveNotSupportedException e) {
                Files.move(temporary, file, StandardCopyOption.REPLACE_EXISTING);
            }
        } finally {
            Files.deleteIfExists(temporary);
        }
    }

    // The file goes with the instance, unless a newer instance has written its own already.
    private void unpublish() {
        try {
            if (new String(Files.readAllBytes(file), StandardCharsets.UTF_8).equals(contents())) {
                Files.delete(file);
            }
        } catch (IOException e) {
            // Gone already, or replaced: either way not ours to remove.
        }
    }

    private void acceptAll() {
        for (;;) {
            Socket socket;
            try {
                socket = server.accept();
            } catch (IOException e) {
                trace("the listener stopped: " + e);
                return;
            }
            handlers.execute(() -> handle(socket));
        }
    }

    private void handle(Socket socket) {
        try (Socket s = socket) {
            if (!s.getInetAddress().isLoopbackAddress()) {
                trace("dropped a connection from " + s.getRemoteSocketAddress());
                return;
            }
            s.setSoTimeout(READ_TIMEOUT_MS);
            List<String> strings = read(s.getInputStream());
            if (strings == null) {
                return;
            }
            if (!MessageDigest.isEqual(strings.get(0).getBytes(StandardCharsets.UTF_8), token)) {
                trace("dropped a request with a wrong token");
                return;
            }
            boolean taken = true;
            if (remember(strings.get(1))) {
                if (!SingleInstance.listening()) {
                    trace("a request waits up to " + SingleInstance.TAKE_WITHIN_MS
                            + " ms for the application to take it");
                }
                taken = SingleInstance.arrived(new SingleInstance.Request(
                        new ArrayList<>(strings.subList(3, strings.size())), strings.get(2)));
                if (!taken) {
                    // Refused, so a start that sends it again is refused again, not told "OK".
                    forget(strings.get(1));
                    trace("the application took no request; the later start runs on its own");
                }
            }
            OutputStream out = s.getOutputStream();
            out.write(taken ? new byte[] {'O', 'K'} : new byte[] {'N', 'O'});
            out.flush();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        } catch (IOException | RuntimeException e) {
            trace("dropped a request: " + e);
        }
    }

    private boolean remember(String name) {
        synchronized (names) {
            if (!names.add(name)) {
                return false;
            }
            if (names.size() > NAMES_REMEMBERED) {
                Iterator<String> oldest = names.iterator();
                oldest.next();
                oldest.remove();
            }
            return true;
        }
    }

    private void forget(String name) {
        synchronized (names) {
            names.remove(name);
        }
    }

    // The request's strings (token, name, directory, arguments), or null when it is dropped.
    private static List<String> read(InputStream stream) throws IOException {
        DataInputStream in = new DataInputStream(stream);
        byte[] magic = new byte[MAGIC.length];
        in.readFully(magic);
        if (!MessageDigest.isEqual(magic, MAGIC)) {
            trace("dropped a request that is not one");
            return null;
        }
        long size = readSize(in);
        if (size > MAX_BODY_BYTES) {
            trace("dropped a request of " + size + " bytes; at most " + MAX_BODY_BYTES + " are taken");
            return null;
        }
        byte[] body = new byte[(int) size];
        in.readFully(body);
        return strings(body);
    }

    private static List<String> strings(byte[] body) {
        Body reader = new Body(body);
        long count = reader.size();
        if (count < 3 || count > body.length) {
            trace("dropped a malformed request: " + count + " strings");
            return null;
        }
        List<String> strings = new ArrayList<>();
        for (long i = 0; i < count; i++) {
            String text = reader.string();
            if (text == null) {
                trace("dropped a malformed request: string " + i + " does not fit or is not UTF-8");
                return null;
            }
            strings.add(text);
        }
        if (!reader.atEnd()) {
            trace("dropped a malformed request: bytes after its last string");
            return null;
        }
        return strings;
    }

    private static long readSize(DataInputStream in) throws IOException {
        byte[] bytes = new byte[4];
        in.readFully(bytes);
        return (bytes[0] & 0xFFL) | (bytes[1] & 0xFFL) << 8 | (bytes[2] & 0xFFL) << 16
                | (bytes[3] & 0xFFL) << 24;
    }

    /** Sizes and strings out of a request's body, never past its end. */
    private static final class Body {
        private final byte[] bytes;
        private int position;

        Body(byte[] bytes) {
            this.bytes = bytes;
        }

        long size() {
            if (bytes.length - position < 4) {
                return -1;
            }
            long size = 0;
            for (int i = 0; i < 4; i++) {
                size |= (bytes[position++] & 0xFFL) << (8 * i);
            }
            return size;
        }

        String string() {
            long size = size();
            if (size < 0 || size > bytes.length - position) {
                return null;
            }
            try {
                String text = StandardCharsets.UTF_8.newDecoder()
                        .onMalformedInput(CodingErrorAction.REPORT)
                        .onUnmappableCharacter(CodingErrorAction.REPORT)
                        .decode(java.nio.ByteBuffer.wrap(bytes, position, (int) size))
                        .toString();
                position += (int) size;
                return text;
            } catch (CharacterCodingException e) {
                return null;
            }
        }

        boolean atEnd() {
            return position == bytes.length;
        }
    }

    private static String hex(byte[] bytes) {
        StringBuilder text = new StringBuilder();
        for (byte b : bytes) {
            text.append(Character.forDigit((b >> 4) & 15, 16)).append(Character.forDigit(b & 15, 16));
        }
        return text.toString();
    }
}
