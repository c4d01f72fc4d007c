package com.varnel.pos.comm.v4_0001.testkit;

import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/**
 * The simulator's control API, through libvarnelsimjni.so. Every call goes through the handle of
 * one simulated libdcxif.so, so it reaches the simulator instance that library is bound to: the
 * same one the bridge talks to once it has loaded that library.
 */
final class SimulatorControl implements AutoCloseable {
    /** The simulator root's own directory of libraries, below an install root. */
    static final String LIBRARY_DIRECTORY = "varnel_dcx/relayhost";
    private static String loadedFrom;

    private final long handle;

    /**
     * Loads the simulated service library of an install root (or takes the copy already loaded).
     *
     * @param simulatorRoot the install root whose libdcxif.so to load; libvarnelsimjni.so is taken
     *     from it the first time
     */
    SimulatorControl(Path simulatorRoot) {
        Path libraries = simulatorRoot.resolve(LIBRARY_DIRECTORY);
        loadNatives(libraries.resolve("libvarnelsimjni.so"));
        handle = open(bytes(libraries.resolve("libdcxif.so").toAbsolutePath().toString()));
    }

    // The natives bind to the first library loaded; later roots use it too.
    private static synchronized void loadNatives(Path library) {
        if (loadedFrom != null) return;
        System.load(library.toAbsolutePath().toString());
        loadedFrom = library.toString();
    }

    /** Forgets every connection, setting and log entry; the script file is read again. */
    void reset() {
        reset(handle);
    }

    /**
     * Applies a script.
     *
     * @return null, or the error of the first line not understood: "line N: reason"
     */
    String apply(String script) {
        int line = apply(handle, bytes(script));
        if (line == 0) return null;
        try {
            return new String(scenarioError(handle), StandardCharsets.UTF_8);
        } catch (UnsupportedOperationException e) {
            return "line " + line + ": not understood";  // a simulator that gives no reason
        }
    }

    List<String> log() {
        List<String> lines = new ArrayList<>();
        for (int i = 0, n = logSize(handle); i < n; i++) {
            byte[] line = logEntry(handle, i);
            if (line != null) lines.add(new String(line, StandardCharsets.UTF_8));
        }
        return lines;
    }

    long callCount(String function) {
        return callCount(handle, bytes(function));
    }

    boolean waitIdle(int timeoutMillis) {
        return waitIdle(handle, timeoutMillis);
    }

    @Override
    public void close() {
        close(handle);
    }

    private static byte[] bytes(String text) {
        return text.getBytes(StandardCharsets.UTF_8);
    }

    private static native long open(byte[] path);
    private static native void close(long handle);
    private static native void reset(long handle);
    private static native int apply(long handle, byte[] script);
    private static native byte[] scenarioError(long handle);
    private static native int logSize(long handle);
    private static native byte[] logEntry(long handle, int index);
    private static native long callCount(long handle, byte[] function);
    private static native boolean waitIdle(long handle, int timeoutMillis);
}
