package com.varnel.pos.comm.v4_0001.console;

import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URISyntaxException;
import java.net.URL;
import java.net.URLClassLoader;
import java.security.CodeSource;

/**
 * The console's {@code scenario check FILE}: the check itself needs the simulator's control API,
 * which only the testkit jar (package varnel-porthandler-simulator) reaches, so the command runs
 * the testkit's own from the jar beside this one. The console jar does not depend on it.
 */
final class ScenarioCommand {
    /** System property naming the testkit jar, when it is not beside the console's jar. */
    static final String TESTKIT_PROPERTY = "varnel.testkit.jar";
    private static final String TESTKIT_JAR = "varnel-porthandler-testkit.jar";
    private static final String CHECK_CLASS = "com.varnel.pos.comm.v4_0001.testkit.ScenarioCheck";

    private ScenarioCommand() {}

    static int run(String[] args, PrintStream out, PrintStream err) {
        File jar = testkitJar();
        if (jar == null || !jar.isFile()) {
            err.println("scenario check needs " + (jar == null ? TESTKIT_JAR : jar.getPath())
                    + " (package varnel-porthandler-simulator), or -D" + TESTKIT_PROPERTY + "=JAR");
            return PortConsole.EXIT_NO_LIBRARY;
        }
        try (URLClassLoader loader = new URLClassLoader(new URL[] {jar.toURI().toURL()},
                ScenarioCommand.class.getClassLoader())) {
            Method run = loader.loadClass(CHECK_CLASS)
                    .getMethod("run", String[].class, PrintStream.class, PrintStream.class);
            return (Integer) run.invoke(null, args, out, err);
        } catch (InvocationTargetException e) {
            Throwable cause = e.getCause();
            if (cause instanceof RuntimeException) throw (RuntimeException) cause;
            if (cause instanceof Error) throw (Error) cause;
            throw new IllegalStateException(cause);
        } catch (ReflectiveOperationException | IOException e) {
            err.println("cannot run the scenario check of " + jar + ": " + e);
            return PortConsole.EXIT_NO_LIBRARY;
        }
    }

    private static File testkitJar() {
        String named = System.getProperty(TESTKIT_PROPERTY);
        if (named != null) return new File(named);
        CodeSource source = ScenarioCommand.class.getProtectionDomain().getCodeSource();
        if (source == null || source.getLocation() == null) return null;
        try {
            return new File(new File(source.getLocation().toURI()).getParentFile(), TESTKIT_JAR);
        } catch (URISyntaxException | IllegalArgumentException e) {
            return null;  // not loaded from a file
        }
    }
}
