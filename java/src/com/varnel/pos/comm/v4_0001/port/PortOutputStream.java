package com.varnel.pos.comm.v4_0001.port;

import java.io.IOException;
import java.io.OutputStream;

/** {@link DevicePort#getOutputStream()}: the port's write, until every byte is sent. */
final class PortOutputStream extends OutputStream {
    private final DevicePort port;
    private volatile boolean closed;

    PortOutputStream(DevicePort port) {
        this.port = port;
    }

    @Override
    public void write(int b) throws IOException {
        write(new byte[] {(byte) b}, 0, 1);
    }

    @Override
    public void write(byte[] b, int off, int len) throws IOException {
        if (off < 0 || len < 0 || off > b.length - len) throw new IndexOutOfBoundsException();
        if (closed) throw new IOException("stream closed");
        try {
            for (int sent = 0; sent < len; ) {
                int n = port.write(b, off + sent, len - sent);
                if (n <= 0) throw new IOException(port.portName() + ": the service sent none of " + (len - sent) + " bytes");
                sent += n;
            }
        } catch (RuntimeException e) {  // PortException, or a closed port's IllegalStateException
            throw new IOException(e.getMessage(), e);
        }
    }

    @Override
    public void close() {
        closed = true;
    }
}
