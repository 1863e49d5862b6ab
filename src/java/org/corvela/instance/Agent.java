// Single running instance: the agent entry that starts the listener before the application's main method.
package org.corvela.instance;

/**
 * Started by the launcher ({@code -javaagent}) when the configuration sets
 * {@code app.single-instance=true}: the running instance listens from its first moment, so
 * later starts never wait for the application to get round to it.
 */
public final class Agent {
    private Agent() {}

    public static void premain(String options) {
        Listener.startIfConfigured();
    }
}
