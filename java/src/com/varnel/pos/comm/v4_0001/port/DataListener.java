package com.varnel.pos.comm.v4_0001.port;

/**
 * Receives a port's data on the dispatcher thread, as blocks, messages or packets depending on
 * how it was added ({@link DevicePort#addDataListener(DataListener)} and its overloads).
 *
 * <p>All the listeners of the JVM's ports share the one dispatcher thread: a listener should hand
 * slow work to a thread of its own. An exception it throws is logged and delivery goes on.
 */
@FunctionalInterface
public interface DataListener {
    /**
     * Takes the next block, message or packet of the port, in the order the bytes arrived.
     *
     * @param data the bytes, in an array of the listener's own
     */
    void onData(byte[] data);

    /**
     * Learns that received data was lost ({@link ResultCode#BUFFER_OVERFLOW}: the port's receive
     * buffer was full) or that taking it failed. A message or packet in progress is dropped with
     * it, and the next one starts with the next byte received.
     *
     * <p>The default throws the error back, so the dispatcher logs it as a listener's exception:
     * a listener that does not override this never loses data silently.
     *
     * @param error what went wrong
     */
    default void onError(PortException error) {
        throw error;
    }
}
