package com.varnel.pos.comm.v4_0001.testkit;

import com.varnel.pos.comm.v4_0001.port.DevicePort;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * The port service, simulated for one test: a private copy of the simulator's install root whose
 * device script is the one given, with the port API pointed at it. Ports opened through
 * {@link DevicePort} while it is open talk to the simulated devices; {@link #callLog()} and
 * {@link #callCount(String)} show what the service was asked.
 *
 * <p>The simulator is one per process, and the install root is process-wide, so only one
 * {@code SimulatedService} may be open at a time: tests that use it must not run in parallel.
 * Close every port before the service. After {@link #close()} the install root still names the
 * removed copy, so a port opened later fails instead of reaching a real service.
 *
 * <p>The script format is that of the simulator's scenario files (docs/SIMULATOR-SCRIPTS.md).
 * An example: a receipt printer whose status request is answered in three blocks, and whose
 * print jobs are not echoed back:
 *
 * <pre>{@code
 * try (SimulatedService sim = SimulatedService.start(
 *         "rule KOVLAN-PRN * exact \"\\x1bs\" reply \"S:00\\r\\n\" split 3\n"
 *         + "unmatched KOVLAN-PRN * drop\n");
 *      DevicePort port = DevicePort.open(null, "KOVLAN-PRN", 1)) {
 *     port.write(new byte[] {0x1B, 's'});
 *     byte[] status = new byte[6];
 *     port.readFully(status, Duration.ofSeconds(1));
 *     assertEquals(1, sim.callCount("DCX_Send"));
 * }
 * }</pre>
 */
public final class SimulatedService implements AutoCloseable {
    /** System property naming the simulator's install root; {@link #DEFAULT_ROOT} without it. */
    public static final String ROOT_PROPERTY = "varnel.sim.root";
    /** Where the simulator package installs its install root. */
    public static final String DEFAULT_ROOT = "/usr/share/varnel-porthandler/simulator-root";
    /** The name of the script file beside the simulated service library. */
    static final String SCRIPT_FILE = "vsim-scenario.txt";

    private static SimulatedService current;

    private final Path root;
    private final SimulatorControl control;

    private SimulatedService(Path root, SimulatorControl control) {
        this.root = root;
        this.control = control;
    }

    /**
     * Starts a simulated service from the simulator root that {@link #defaultRoot()} names.
     *
     * @param script the device script
     * @return the open service
     * @throws IOException when the simulator root cannot be copied
     * @throws ScenarioException when the script does not parse
     * @throws IllegalStateException when another simulated service is open
     */
    public static SimulatedService start(String script) throws IOException {
        return start(defaultRoot(), script);
    }

    /**
     * Starts a simulated service: copies the simulator root into a new directory only the user
     * can read, writes the script beside the service library, resets the simulator (connections,
     * settings, call log and counters) and makes the copy the port API's install root.
     *
     * @param simulatorRoot the simulator's install root (holding varnel_dcx/relayhost/)
     * @param script the device script
     * @return the open service
     * @throws IOException when the simulator root cannot be copied
     * @throws ScenarioException when the script does not parse
     * @throws IllegalStateException when another simulated service is open
     */
    public static SimulatedService start(Path simulatorRoot, String script) throws IOException {
        synchronized (SimulatedService.class) {
            if (current != null) throw new IllegalStateException("a simulated service is already open");
            Path copy = Files.createTempDirectory("varnel-sim-",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            SimulatorControl control = null;
            try {
                copyTree(simulatorRoot, copy);
                Path libraries = copy.resolve(SimulatorControl.LIBRARY_DIRECTORY);
                Files.write(libraries.resolve(SCRIPT_FILE), script.getBytes(StandardCharsets.UTF_8));
                control = new SimulatorControl(copy);
                control.reset();
                String error = control.apply(script);
                if (error != null) throw new ScenarioException(error);
                DevicePort.setInstallRoot(copy.toString());
                current = new SimulatedService(copy, control);
                return current;
            } catch (IOException | RuntimeException | Error e) {
                if (control != null) control.close();
                try {
                    deleteTree(copy);
                } catch (IOException cleanup) {
                    e.addSuppressed(cleanup);
                }
                throw e;
            }
        }
    }

    /**
     * The simulator root used when none is given.
     *
     * @return the system property {@value #ROOT_PROPERTY}, or else {@value #DEFAULT_ROOT}
     */
    public static Path defaultRoot() {
        return Paths.get(System.getProperty(ROOT_PROPERTY, DEFAULT_ROOT));
    }

    /**
     * The private copy the port API now loads the service from.
     *
     * @return the install root of this service
     */
    public Path installRoot() {
        return root;
    }

    /**
     * The service calls made since the service started, oldest first, one line a call, for
     * instance {@code "DCX_Open(, KOVLAN-PRN, UPOS, 1)"} and {@code "DCX_Send(P1, 0, 0, 1000, 6)"}.
     * The simulator keeps the latest 65536.
     *
     * @return a snapshot of the call log
     */
    public List<String> callLog() {
        return Collections.unmodifiableList(control.log());
    }

    /**
     * How often a service function was called since the service started, failed calls included.
     *
     * @param function the function as the service exports it, for instance {@code "DCX_Send"}
     * @return the number of calls
     */
    public long callCount(String function) {
        return control.callCount(function);
    }

    /**
     * Waits until the simulator has delivered every event it has queued so far (received data,
     * power reports); scheduled replies that are not yet due are not waited for.
     *
     * @param timeout how long to wait at most
     * @return false when the time ran out first
     */
    public boolean awaitIdle(Duration timeout) {
        return control.waitIdle((int) Math.min(Integer.MAX_VALUE, Math.max(0, timeout.toMillis())));
    }

    /** Removes the private copy. A second close does nothing. */
    @Override
    public void close() {
        synchronized (SimulatedService.class) {
            if (current != this) return;
            current = null;
            control.close();
            try {
                deleteTree(root);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }
    }

    static synchronized boolean isAnyOpen() {
        return current != null;
    }

    private static void copyTree(Path from, Path to) throws IOException {
        if (!Files.isDirectory(from.resolve(SimulatorControl.LIBRARY_DIRECTORY))) {
            throw new IOException(from + " is not a simulator install root (no "
                    + SimulatorControl.LIBRARY_DIRECTORY + "/)");
        }
        List<Path> paths;
        try (Stream<Path> walk = Files.walk(from)) {
            paths = walk.collect(Collectors.toList());
        }
        for (Path path : paths) {
            Path target = to.resolve(from.relativize(path).toString());
            if (Files.isDirectory(path)) {
                Files.createDirectories(target);
            } else {
                Files.copy(path, target, StandardCopyOption.REPLACE_EXISTING);
            }
        }
    }

    private static void deleteTree(Path top) throws IOException {
        List<Path> paths;
        try (Stream<Path> walk = Files.walk(top)) {
            paths = walk.collect(Collectors.toList());
        }
        Collections.reverse(paths);
        List<IOException> failures = new ArrayList<>();
        for (Path path : paths) {
            try {
                Files.deleteIfExists(path);
            } catch (IOException e) {
                failures.add(e);
            }
        }
        if (!failures.isEmpty()) throw failures.get(0);
    }
}
