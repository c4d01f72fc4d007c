package com.varnel.pos.comm.v4_0001.port;

import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.time.Duration;

/** {@link DevicePort#getInputStream()}: the port's timed read, with the stream's exceptions. */
final class PortInputStream extends InputStream {
    private final DevicePort port;
    private final PortWatch watch;
    private volatile boolean closed;

    PortInputStream(DevicePort port, PortWatch watch) {
        this.port = port;
        this.watch = watch;
    }

    @Override
    public int read() throws IOException {
        byte[] one = new byte[1];
        read(one, 0, 1);
        return one[0] & 0xFF;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
        if (off < 0 || len < 0 || off > b.length - len) throw new IndexOutOfBoundsException();
        if (len == 0) return 0;
        Duration timeout = port.readTimeout();
        try {
            open();
            int n = watch.read(b, off, len, timeout.isZero() ? Long.MAX_VALUE : DevicePort.nanos(timeout));
            if (n == 0) throw new InterruptedIOException("no data from " + port.portName() + " in " + timeout);
            return n;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new InterruptedIOException("interrupted while waiting for " + port.portName());
        } catch (RuntimeException e) {  // PortException, or a closed port's IllegalStateException
            throw new IOException(e.getMessage(), e);
        }
    }

    @Override
    public int available() throws IOException {
        try {
            open();
            return watch.available();
        } catch (RuntimeException e) {
            throw new IOException(e.getMessage(), e);
        }
    }

    @Override
    public void close() {
        closed = true;
    }

    private void open() {
        if (closed) throw new IllegalStateException("stream closed");
    }
}
