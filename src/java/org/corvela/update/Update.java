// A newer version a feed offers: what the application shows its user.
package org.corvela.update;

/** A newer version of the application, offered by its signed feed. */
public final class Update {
    private final String version;
    private final String notes;

    Update(String version, String notes) {
        this.version = version;
        this.notes = notes;
    }

    public String version() {
        return version;
    }

    /** The release notes, as the vendor wrote them. */
    public String notes() {
        return notes;
    }

    @Override
    public String toString() {
        return version;
    }
}
