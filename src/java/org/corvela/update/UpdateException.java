// Why an update could not be checked for or staged: the message says what and where.
package org.corvela.update;

import java.io.IOException;

/** A check or a download that failed; nothing outside the staging folder has changed. */
public class UpdateException extends IOException {
    private static final long serialVersionUID = 1L;

    public UpdateException(String message) {
        super(message);
    }

    public UpdateException(String message, Throwable cause) {
        super(message, cause);
    }
}
