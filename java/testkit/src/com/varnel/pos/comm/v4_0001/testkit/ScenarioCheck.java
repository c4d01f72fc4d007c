package com.varnel.pos.comm.v4_0001.testkit;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * {@code scenario check FILE [--root DIR]}: tells whether the simulator understands a device
 * script, and if not, the first line at fault and why. The testkit jar's Main-Class; the port
 * console's {@code scenario} command comes here too.
 *
 * <p>The check applies the script to the simulator of this process, so it must not run while a
 * {@link SimulatedService} is open in it. Exit status: 0 and "ok" for a script that parses;
 * {@value #EXIT_NOT_UNDERSTOOD} for one that does not, with "FILE: line N: reason" on the error
 * stream; {@value #EXIT_USAGE} for a command line it does not understand; {@value #EXIT_NO_INPUT}
 * when the file or the simulator cannot be read.
 */
public final class ScenarioCheck {
    /** Exit status for a script that does not parse. */
    public static final int EXIT_NOT_UNDERSTOOD = 65;
    /** Exit status for a command line this command does not understand. */
    public static final int EXIT_USAGE = 64;
    /** Exit status when the script or the simulator cannot be read. */
    public static final int EXIT_NO_INPUT = 66;

    private static final String USAGE = "Usage: scenario check FILE [--root DIR]\n"
            + "  Reports the first line of the device script FILE that the simulator does not\n"
            + "  understand. DIR: the simulator's install root (default: the system property\n"
            + "  " + SimulatedService.ROOT_PROPERTY + ", else " + SimulatedService.DEFAULT_ROOT + ").\n";

    private ScenarioCheck() {}

    /**
     * Checks a script against a simulator.
     *
     * @param simulatorRoot the simulator's install root
     * @param script the device script
     * @return null when the script parses, else "line N: reason"
     * @throws IllegalStateException while a {@link SimulatedService} is open
     */
    public static String check(Path simulatorRoot, String script) {
        if (SimulatedService.isAnyOpen()) {
            throw new IllegalStateException("a simulated service is open in this process");
        }
        try (SimulatorControl control = new SimulatorControl(simulatorRoot)) {
            return control.apply(script);
        }
    }

    /**
     * Runs the command.
     *
     * @param args {@code scenario check FILE [--root DIR]}
     * @param out where "ok" goes
     * @param err where errors go
     * @return the exit status
     */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        Path root = SimulatedService.defaultRoot();
        List<String> words = new ArrayList<>();
        for (int i = 0; i < args.length; i++) {
            String a = args[i];
            if (a.equals("--help") || a.equals("-h")) {
                out.print(USAGE);
                return 0;
            } else if (a.equals("--root") && i + 1 < args.length) {
                root = Paths.get(args[++i]);
            } else if (a.startsWith("--")) {
                return usage(err, "unknown option " + a);
            } else {
                words.add(a);
            }
        }
        if (words.size() != 3 || !words.get(0).equals("scenario") || !words.get(1).equals("check")) {
            return usage(err, "expected scenario check FILE");
        }
        String file = words.get(2);
        String script;
        try {
            script = new String(Files.readAllBytes(Paths.get(file)), StandardCharsets.UTF_8);
        } catch (IOException e) {
            err.println("cannot read " + file + ": " + e);
            return EXIT_NO_INPUT;
        }
        String error;
        try {
            error = check(root, script);
        } catch (IllegalStateException | UnsatisfiedLinkError e) {
            err.println("cannot load the simulator from " + root + ": " + e.getMessage());
            return EXIT_NO_INPUT;
        }
        if (error != null) {
            err.println(file + ": " + error);
            return EXIT_NOT_UNDERSTOOD;
        }
        out.println("ok");
        return 0;
    }

    private static int usage(PrintStream err, String problem) {
        err.print("error: " + problem + "\n" + USAGE);
        return EXIT_USAGE;
    }

    /**
     * Runs the command and exits with its status.
     *
     * @param args {@code scenario check FILE [--root DIR]}
     */
    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }
}
