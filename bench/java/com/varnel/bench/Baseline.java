package com.varnel.bench;

/** Yardstick natives beside the bridge's, and the simulator controls the benchmark needs. */
final class Baseline {
    private Baseline() {}

    static {
        System.load(System.getProperty("varnel.bench.baseline"));
    }

    /** Binds to the simulator's service library under the install root: 0, or -1. */
    static native int bind(String root);

    static native long latestServiceHandle();

    static native void loopback(boolean on);

    /** When the simulator last called a callback, in System.nanoTime's clock (CLOCK_MONOTONIC). */
    static native long lastCallbackTime();

    static native boolean waitIdle(int milliseconds);

    /** Queues data to the connection as received, at most 4 KiB. */
    static native void inject(long serviceHandle, byte[] data);

    static native int empty(long handle, byte[] data, int maximum, int[] count);

    static native int copy(long handle, byte[] data, int n, int[] count);

    static native int pinSend(long serviceHandle, byte[] data, int length, int timeout, int[] count);

    static native int getProperty(long serviceHandle, int id, long[] value);
}
