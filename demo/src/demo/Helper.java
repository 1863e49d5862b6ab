package demo;

/** A second class, packaged in its own jar, so that the class path has two entries. */
public final class Helper {
    private Helper() {
    }

    public static String name() {
        return "helper";
    }
}
