package com.varnel.pos.comm.v4_0001.port;

import java.util.Arrays;

/** Hands over messages ended by a delimiter, without it; the delimiter may span two blocks. */
final class DelimiterFramer extends Framer {
    private final byte[] delimiter;
    private byte[] message = new byte[64];
    private int length;

    DelimiterFramer(String portName, DataListener listener, byte[] delimiter) {
        super(portName, listener);
        if (delimiter.length == 0) throw new IllegalArgumentException("empty delimiter");
        this.delimiter = delimiter.clone();
    }

    @Override
    void take(byte[] data, int count) {
        for (int i = 0; i < count; i++) {
            if (length == message.length) message = Arrays.copyOf(message, length * 2);
            message[length++] = data[i];
            if (endsWithDelimiter()) {
                byte[] done = Arrays.copyOf(message, length - delimiter.length);
                length = 0;
                emit(done);
            }
        }
    }

    private boolean endsWithDelimiter() {
        if (length < delimiter.length) return false;
        for (int i = 0, from = length - delimiter.length; i < delimiter.length; i++) {
            if (message[from + i] != delimiter[i]) return false;
        }
        return true;
    }

    @Override
    void reset() {
        length = 0;
    }
}
