// Single running instance, the application's side: the requests of later starts, handed to its listener.
package org.corvela.instance;

import java.util.ArrayDeque;
import java.util.Collections;
import java.util.List;
import java.util.function.Consumer;

/**
 * Requests that later starts of the application's launcher hand to the running instance, when
 * its configuration sets {@code app.single-instance=true}.
 *
 * <p>A later start does not run a second copy of the application: it sends its command-line
 * arguments and its current directory here and ends. Requests that arrive before the
 * application registers its listener are kept and handed over on registration, in the order
 * they arrived; each request is handed over exactly once, on a thread of this library, one at
 * a time. A request that finds no listener registered within {@link #TAKE_WITHIN_MS} is
 * refused: the later start then runs as an instance of its own, so that an application that
 * never registers loses no document.
 */
public final class SingleInstance {

    /** One later start: its arguments exactly as given and its current directory. */
    public static final class Request {
        private final List<String> arguments;
        private final String workingDirectory;

        Request(List<String> arguments, String workingDirectory) {
            this.arguments = Collections.unmodifiableList(arguments);
            this.workingDirectory = workingDirectory;
        }

        /** The arguments the later start was given, program name excluded. */
        public List<String> arguments() {
            return arguments;
        }

        /** The current directory of the later start, for arguments that are relative paths. */
        public String workingDirectory() {
            return workingDirectory;
        }

        @Override
        public String toString() {
            return "Request" + arguments + " in " + workingDirectory;
        }
    }

    /** How long a request waits for the application to register its listener. */
    static final long TAKE_WITHIN_MS = 5000;

    private static final Object lock = new Object();
    private static final ArrayDeque<Request> pending = new ArrayDeque<>();
    private static Consumer<Request> listener;
    private static Thread dispatcher;

    private SingleInstance() {}

    /**
     * Makes {@code listener} the receiver of every request from now on, starting with those
     * that arrived before. A later call replaces the listener for the requests still to come.
     */
    public static void onRequest(Consumer<Request> listener) {
        if (listener == null) {
            throw new NullPointerException("listener");
        }
        Listener.startIfConfigured();
        synchronized (lock) {
            SingleInstance.listener = listener;
            if (dispatcher == null) {
                dispatcher = new Thread(SingleInstance::dispatch, "corvela-instance-requests");
                dispatcher.setDaemon(true);
                dispatcher.start();
            }
            lock.notifyAll();
        }
    }

    /**
     * Queues the request for the listener: true once a listener is registered to take it,
     * false (and the request withdrawn) when none is within {@link #TAKE_WITHIN_MS}.
     */
    static boolean arrived(Request request) throws InterruptedException {
        synchronized (lock) {
            pending.addLast(request);
            lock.notifyAll();
            final long deadline = System.nanoTime() + TAKE_WITHIN_MS * 1_000_000L;
            while (listener == null) {
                final long leftMs = (deadline - System.nanoTime()) / 1_000_000L;
                if (leftMs <= 0) {
                    pending.remove(request);
                    return false;
                }
                lock.wait(leftMs);
            }
            return true;
        }
    }

    static boolean listening() {
        synchronized (lock) {
            return listener != null;
        }
    }

    private static void dispatch() {
        for (;;) {
            Request request;
            Consumer<Request> receiver;
            synchronized (lock) {
                while (pending.isEmpty()) {
                    try {
                        lock.wait();
                    } catch (InterruptedException e) {
                        return;
                    }
                }
                request = pending.removeFirst();
                receiver = listener;
            }
            try {
                receiver.accept(request);
            } catch (RuntimeException e) {
                // The application's failure to handle one request must not end the others.
                Listener.trace("the listener failed on a request: " + e);
            }
        }
    }
}
