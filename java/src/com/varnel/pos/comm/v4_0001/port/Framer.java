package com.varnel.pos.comm.v4_0001.port;

/**
 * A data listener with the way it cuts the port's byte stream. Used by the dispatcher thread
 * only, apart from {@link #remove()}, which stops every later call of the listener.
 */
abstract class Framer {
    private final String portName;
    private final DataListener listener;
    private volatile boolean removed;

    Framer(String portName, DataListener listener) {
        this.portName = portName;
        this.listener = listener;
    }

    final DataListener listener() {
        return listener;
    }

    final void remove() {
        removed = true;
    }

    /** Takes the next bytes received; they are in the dispatcher's array, so keep copies. */
    abstract void take(byte[] data, int length);

    /** Drops a frame in progress: the bytes after it were lost. */
    abstract void reset();

    final void fail(PortException error) {
        reset();
        if (!removed) Dispatcher.guarded(portName, listener, () -> listener.onError(error));
    }

    final void emit(byte[] frame) {
        if (!removed) Dispatcher.guarded(portName, listener, () -> listener.onData(frame));
    }
}
