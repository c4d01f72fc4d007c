package com.varnel.pos.comm.v4_0001.port;

import java.time.Duration;
import java.util.concurrent.TimeoutException;

/**
 * {@link DevicePort#readFully} ran out of time: says how many bytes did arrive, which are at the
 * start of the caller's array.
 */
public final class ReadTimeoutException extends TimeoutException {
    private static final long serialVersionUID = 1L;

    /** Bytes that arrived in time. */
    private final int received;

    /**
     * Makes the exception.
     *
     * @param received the bytes that arrived in time
     * @param wanted the bytes wanted
     * @param timeout the time allowed
     */
    public ReadTimeoutException(int received, int wanted, Duration timeout) {
        super(received + " of " + wanted + " bytes arrived in " + timeout);
        this.received = received;
    }

    /**
     * The number of bytes that arrived in time.
     *
     * @return the count, less than the length wanted
     */
    public int received() {
        return received;
    }
}
