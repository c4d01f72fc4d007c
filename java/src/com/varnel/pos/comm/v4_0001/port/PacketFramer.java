package com.varnel.pos.comm.v4_0001.port;

/** Hands over packets of a fixed length, gathered across blocks. */
final class PacketFramer extends Framer {
    private final int size;
    private byte[] packet;
    private int length;

    PacketFramer(String portName, DataListener listener, int size) {
        super(portName, listener);
        if (size < 1) throw new IllegalArgumentException("packet length " + size);
        this.size = size;
        this.packet = new byte[size];
    }

    @Override
    void take(byte[] data, int count) {
        for (int i = 0; i < count; ) {
            int n = Math.min(size - length, count - i);
            System.arraycopy(data, i, packet, length, n);
            i += n;
            length += n;
            if (length == size) {
                byte[] done = packet;
                packet = new byte[size];
                length = 0;
                emit(done);
            }
        }
    }

    @Override
    void reset() {
        length = 0;
    }
}
