package demo;

import java.util.concurrent.CountDownLatch;
import org.corvela.instance.SingleInstance;

/**
 * The demo's single-instance application: runs until a later start hands it a document, as a
 * double-clicked file reaches an application that is open already.
 */
public final class Opener {
    private Opener() {
    }

    public static void main(String[] args) throws InterruptedException {
        System.out.println("Opener running (one instance per user and session), waiting for a document");
        CountDownLatch opened = new CountDownLatch(1);
        SingleInstance.onRequest(request -> {
            System.out.println("a later start handed over: arguments " + request.arguments()
                    + " from " + request.workingDirectory());
            for (String document : request.arguments()) {
                System.out.println("  opening " + request.workingDirectory() + "\\" + document);
            }
            opened.countDown();
        });
        opened.await();
    }
}
