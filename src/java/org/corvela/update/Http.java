// Fetching over HTTP with java.net alone: the JVM's proxy settings, time limits, size limits,
// and downloads that resume where an interrupted one ended.
package org.corvela.update;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.HttpURLConnection;
import java.net.SocketTimeoutException;
import java.net.URL;
import java.net.URLConnection;
import java.util.function.LongConsumer;

final class Http {
    private final int timeoutMs;

    Http(int timeoutMs) {
        this.timeoutMs = timeoutMs;
    }

    /** The whole body at `url`, at most `limit` bytes. */
    byte[] fetch(URL url, int limit) throws UpdateException {
        HttpURLConnection connection = open(url, 0);
        try (InputStream in = body(connection, url, false)) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0;) {
                out.write(buffer, 0, n);
                if (out.size() > limit) {
                    throw new UpdateException(url + " is larger than " + limit + " bytes: refused");
                }
            }
            return out.toByteArray();
        } catch (SocketTimeoutException e) {
            throw new UpdateException(url + " did not answer within " + timeoutMs + " ms", e);
        } catch (IOException e) {
            throw failure(url, e);
        } finally {
            connection.disconnect();
        }
    }

    /**
     * Appends to `part` what it lacks of the `size` bytes at `url` (from its start, when the
     * server cannot send a range). A connection that ends early leaves what came in `part`.
     */
    void resume(URL url, File part, long size, LongConsumer arrived) throws UpdateException {
        long have = part.length();
        HttpURLConnection connection = open(url, have);
        try {
            InputStream stream = body(connection, url, have > 0);
            boolean append = have > 0 && connection.getResponseCode() == 206;
            have = append ? have : 0;
            try (InputStream in = stream; OutputStream out = new FileOutputStream(part, append)) {
                byte[] buffer = new byte[65536];
                for (int n; (n = in.read(buffer)) > 0;) {
                    if (have + n > size) {
                        throw new UpdateException(url + " is larger than the " + size
                                                  + " bytes the feed names");
                    }
                    out.write(buffer, 0, n);
                    have += n;
                    arrived.accept(n);
                }
            }
            if (have < size) {
                throw new UpdateException(url + " ended after " + have + " of " + size
                                          + " bytes; the next stage() goes on from there");
            }
        } catch (SocketTimeoutException e) {
            throw new UpdateException(url + " did not answer within " + timeoutMs + " ms", e);
        } catch (UpdateException e) {
            throw e;
        } catch (IOException e) {
            throw failure(url, e);
        } finally {
            connection.disconnect();
        }
    }

    private HttpURLConnection open(URL url, long from) throws UpdateException {
        try {
            URLConnection connection = url.openConnection();
            if (!(connection instanceof HttpURLConnection)) {
                throw new UpdateException(url + " is not an http or https address");
            }
            HttpURLConnection http = (HttpURLConnection) connection;
            http.setConnectTimeout(timeoutMs);
            http.setReadTimeout(timeoutMs);
            http.setUseCaches(false);
            if (from > 0) {
                http.setRequestProperty("Range", "bytes=" + from + "-");
            }
            return http;
        } catch (IOException e) {
            throw failure(url, e);
        }
    }

    private static InputStream body(HttpURLConnection connection, URL url, boolean range)
            throws IOException {
        int code = connection.getResponseCode();
        if (code != 200 && !(range && code == 206)) {
            throw new UpdateException(url + " answered " + code + " "
                                      + connection.getResponseMessage());
        }
        return connection.getInputStream();
    }

    private UpdateException failure(URL url, IOException e) {
        if (e instanceof UpdateException) {
            return (UpdateException) e;
        }
        if (e instanceof SocketTimeoutException) {
            return new UpdateException(url + " did not answer within " + timeoutMs + " ms", e);
        }
        return new UpdateException("cannot fetch " + url + ": " + e, e);
    }
}
