// Drives org.corvela.update.Updates as an application would: check, stage or started, for the
// image of the launcher named on the command line; prints what happened, one line each.
import java.io.File;

import org.corvela.update.Update;
import org.corvela.update.UpdateException;
import org.corvela.update.Updates;

public final class UpdateProbe {
    public static void main(String[] args) {
        try {
            Updates updates = Updates.forLauncher(new File(args[0]))
                                  .timeoutMillis(Integer.parseInt(args[2]));
            if (args[1].equals("check")) {
                Update update = updates.check();
                System.out.println(update == null ? "none" : "update: " + update.version()
                                                             + "\nnotes: " + update.notes());
            } else if (args[1].equals("stage")) {
                final long[] last = {0, -1};
                Update update = updates.stage((done, total) -> {
                    last[0] = done;
                    last[1] = total;
                });
                System.out.println(update == null ? "none" : "staged: " + update.version());
                System.out.println("progress: " + last[0] + " of " + last[1]);
            } else {
                updates.started();
                System.out.println("started: " + updates.currentVersion());
            }
        } catch (UpdateException e) {
            System.out.println("error: " + e.getMessage());
            System.exit(3);
        }
    }
}
