package com.varnel.pos.comm.v4_0001.port;

import java.util.Arrays;

/** Hands each block over as it was taken from the port. */
final class BlockFramer extends Framer {
    BlockFramer(String portName, DataListener listener) {
        super(portName, listener);
    }

    @Override
    void take(byte[] data, int length) {
        emit(Arrays.copyOf(data, length));
    }

    @Override
    void reset() {}
}
