package com.varnel.pos.comm.v4_0001.port;

import java.util.concurrent.atomic.AtomicLongFieldUpdater;
import java.util.function.LongToIntFunction;

/**
 * The native handle of one port and its closing, shared by the {@link DevicePort} and the
 * reaper that closes a port nobody closed. No lock: the library refuses a closed handle for the
 * life of the process, so a call may race with the close and only its -1 needs reading.
 */
final class NativeHandle {
    private static final AtomicLongFieldUpdater<NativeHandle> VALUE =
            AtomicLongFieldUpdater.newUpdater(NativeHandle.class, "value");

    final String portName;
    private volatile long value;  // 0 once a close has begun

    NativeHandle(long value, String portName) {
        this.value = value;
        this.portName = portName;
    }

    boolean isOpen() {
        return value != 0;
    }

    /**
     * Runs a native call with the handle. A close may begin during the call: the library then
     * answers -1, which is the close winning the race and is reported as such, not as a failure
     * of the call.
     *
     * @throws IllegalStateException when closed before or during the call
     */
    int call(LongToIntFunction nativeCall) {
        long live = value;
        if (live == 0) throw closed();
        int result = nativeCall.applyAsInt(live);
        if (result == ResultCode.BAD_HANDLE.code() && value == 0) throw closed();
        return result;
    }

    /** Marks the port closed; returns the handle to close, or 0 when another close took it. */
    long take() {
        return VALUE.getAndSet(this, 0);
    }

    IllegalStateException closed() {
        return new IllegalStateException(portName + " is closed");
    }
}
