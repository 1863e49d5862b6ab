// What stage() reports while it downloads.
package org.corvela.update;

/** Told, as bytes arrive, how many of the total the staged version needs have come. */
public interface Progress {
    void update(long done, long total);
}
