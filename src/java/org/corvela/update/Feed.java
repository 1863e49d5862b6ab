// A channel's feed: fetched, its signature checked against the image's key, then read.
package org.corvela.update;

import java.nio.charset.StandardCharsets;
import java.security.GeneralSecurityException;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Base64;
import java.util.Collections;
import java.util.List;
import java.util.Map;

final class Feed {
    static final class Entry {
        final String path;
        final String sha256;
        final long size;

        Entry(String path, String sha256, long size) {
            this.path = path;
            this.sha256 = sha256;
            this.size = size;
        }
    }

    final byte[] text;
    final byte[] signature;
    final String product;
    final String version;
    final String notes;
    final List<Entry> files;

    private Feed(byte[] text, byte[] signature, String product, String version, String notes,
                 List<Entry> files) {
        this.text = text;
        this.signature = signature;
        this.product = product;
        this.version = version;
        this.notes = notes;
        this.files = files;
    }

    /** The feed in `text`, once `signature` proves `publicKey` (base64 DER) signed it. */
    static Feed verified(byte[] text, byte[] signature, String publicKey, String where)
            throws UpdateException {
        try {
            PublicKey key = KeyFactory.getInstance("EC").generatePublic(
                new X509EncodedKeySpec(Base64.getDecoder().decode(publicKey)));
            Signature check = Signature.getInstance("SHA256withECDSA");
            check.initVerify(key);
            check.update(text);
            if (!check.verify(signature)) {
                throw new UpdateException("the signature of " + where + " does not match the "
                                          + "image's key: the feed is refused");
            }
        } catch (GeneralSecurityException | IllegalArgumentException e) {
            throw new UpdateException("the signature of " + where + " cannot be checked: " + e, e);
        }
        return read(text, signature, where);
    }

    @SuppressWarnings("unchecked")
    private static Feed read(byte[] text, byte[] signature, String where) throws UpdateException {
        Object parsed = Json.parse(new String(text, StandardCharsets.UTF_8), where);
        try {
            Map<String, Object> feed = (Map<String, Object>) parsed;
            if (!Long.valueOf(1).equals(feed.get("format"))) {
                throw new UpdateException(where + " has format " + feed.get("format")
                                          + "; this library reads format 1");
            }
            List<Entry> files = new ArrayList<>();
            for (Object item : (List<Object>) feed.get("files")) {
                Map<String, Object> file = (Map<String, Object>) item;
                String path = (String) file.get("path");
                String sha256 = (String) file.get("sha256");
                long size = (Long) file.get("size");
                if (path == null || path.isEmpty() || path.startsWith("/") || path.contains("\\")
                    || ("/" + path + "/").contains("/../") || ("/" + path + "/").contains("/./")
                    || path.contains(":") || sha256 == null || !sha256.matches("[0-9a-f]{64}")
                    || size < 0) {
                    throw new UpdateException(where + " lists a file it may not: " + path);
                }
                files.add(new Entry(path, sha256, size));
            }
            return new Feed(text, signature, (String) feed.get("product"),
                            (String) feed.get("version"), (String) feed.get("notes"),
                            Collections.unmodifiableList(files));
        } catch (ClassCastException | NullPointerException e) {
            throw new UpdateException(where + " is not a feed: " + e.getMessage(), e);
        }
    }

    /** Compares dotted versions number by number ("1.10" is newer than "1.9"). */
    static int compareVersions(String a, String b, String where) throws UpdateException {
        String[] x = a.split("\\.");
        String[] y = b.split("\\.");
        for (int i = 0; i < Math.max(x.length, y.length); i++) {
            long p = number(i < x.length ? x[i] : "0", a, where);
            long q = number(i < y.length ? y[i] : "0", b, where);
            if (p != q) {
                return p < q ? -1 : 1;
            }
        }
        return 0;
    }

    private static long number(String part, String version, String where) throws UpdateException {
        if (!part.matches("[0-9]{1,9}")) {
            throw new UpdateException("version " + version + " (" + where
                                      + ") is not numbers and dots");
        }
        return Long.parseLong(part);
    }
}
