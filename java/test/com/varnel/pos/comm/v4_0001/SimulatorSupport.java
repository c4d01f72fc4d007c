package com.varnel.pos.comm.v4_0001;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/** Points the bridge at the port-service simulator and writes the scenario it reads. */
final class SimulatorSupport {
    /** Diagnostic property of the simulator: 1 while the connection holds its port lock. */
    static final int LOCK_HELD_PROPERTY = 0x7F01;

    private SimulatorSupport() {}

    private static Path root;

    /**
     * A private copy of the simulator's install root, so the scenario files these tests write
     * never reach other programs that load the build tree's root.
     */
    static synchronized String root() throws IOException {
        if (root == null) {
            String built = System.getProperty("varnel.sim.root");
            if (built == null) throw new IllegalStateException("varnel.sim.root is not set");
            Path copy = Files.createTempDirectory("varnel-sim-root");
            Path libraries = copy.resolve("varnel_dcx").resolve("relayhost");
            Files.createDirectories(libraries);
            // deleteOnExit runs in reverse order: files first, then their directories.
            for (Path directory : new Path[] {copy, copy.resolve("varnel_dcx"), libraries}) {
                directory.toFile().deleteOnExit();
            }
            for (String name : new String[] {"libdcxif.so", "libportconfig.so", "vsim-scenario.txt"}) {
                Path target = libraries.resolve(name);
                if (!name.endsWith(".txt")) Files.copy(Paths.get(built, "varnel_dcx", "relayhost", name), target);
                target.toFile().deleteOnExit();
            }
            root = copy;
        }
        return root.toString();
    }

    static byte[] zeroTerminated(String text) {
        byte[] bytes = text.getBytes(StandardCharsets.UTF_8);
        byte[] terminated = new byte[bytes.length + 1];
        System.arraycopy(bytes, 0, terminated, 0, bytes.length);
        return terminated;
    }

    static void useRoot(String root) {
        if (PortHandlerIO.SetDCXPath(zeroTerminated(root)) != 0) {
            throw new IllegalStateException("install root refused: " + root);
        }
    }

    /** The simulator applies the scenario at the next Open (its DCX_Initialize). */
    static void scenario(String... lines) throws IOException {
        Path file = Paths.get(root(), "varnel_dcx", "relayhost", "vsim-scenario.txt");
        Files.write(file, String.join("\n", lines).concat("\n").getBytes(StandardCharsets.UTF_8));
    }

    static long open(String serviceURL, String portName, int deviceType) {
        long[] handle = {0};
        int result = PortHandlerIO.Open(serviceURL, portName, deviceType, handle);
        if (result != 0) throw new AssertionError("Open(" + portName + ") returned " + result);
        if (handle[0] == 0) throw new AssertionError("Open(" + portName + ") gave handle 0");
        return handle[0];
    }

    /** Polls Read (which never waits) until `length` bytes came back or the time is up. */
    static byte[] readExactly(long handle, int length, long timeoutMillis) throws InterruptedException {
        byte[] received = new byte[length];
        int got = 0;
        byte[] chunk = new byte[Math.max(1, Math.min(length, 4096))];
        int[] count = {0};
        long deadline = System.nanoTime() + timeoutMillis * 1_000_000L;
        while (got < length) {
            int result = PortHandlerIO.Read(handle, chunk, Math.min(chunk.length, length - got), count);
            if (result != 0) throw new AssertionError("Read returned " + result);
            System.arraycopy(chunk, 0, received, got, count[0]);
            got += count[0];
            if (count[0] == 0) {
                if (System.nanoTime() > deadline) {
                    throw new AssertionError("only " + got + " of " + length + " bytes came back");
                }
                Thread.sleep(1);
            }
        }
        return received;
    }
}
