// The demo's self-updating application: checks its feed, stages a newer version, restarts.
package demo;

import org.corvela.update.Update;
import org.corvela.update.UpdateException;
import org.corvela.update.Updates;

/**
 * Shows the version it runs, reports a good start, and asks the image's feed for a newer
 * version; when there is one it stages it and restarts to apply it, so the restarted start
 * shows the new version and finds nothing newer.
 */
public final class Updater {
    private Updater() {
    }

    public static void main(String[] args) throws UpdateException {
        Updates updates = Updates.current();
        System.out.println("running version " + updates.currentVersion());
        // Before anything else: a version the launcher just applied that never says so is
        // rolled back at the next start.
        updates.started();
        Update update = updates.check();
        if (update == null) {
            System.out.println("no newer version: up to date");
            return;
        }
        System.out.println("the feed offers version " + update.version() + ": " + update.notes());
        long[] staged = {0, 0};
        updates.stage((done, total) -> {
            staged[0] = done;
            staged[1] = total;
        });
        System.out.println("staged version " + update.version() + " (" + staged[0] + " of "
                           + staged[1] + " bytes fetched); restarting to apply it");
        System.out.flush();
        updates.restartToApply();
    }
}
