package com.varnel.pos.comm.v4_0001.port;

import java.util.Arrays;

/**
 * The bytes of one port that were taken from its native receive buffer but not yet read, and an
 * error met while taking them. The dispatcher takes bytes ahead of a reader that waits, and the
 * reader finds them here; every read takes these first, so the order is kept.
 *
 * <p>Thread safety: all methods lock this object, so a read here and a read of the native
 * buffer behind it are one step that no other taker can cut in between.
 */
final class ReceiveBuffer {
    /** The port's one native read path: fills {@code into} from index 0 with at most max bytes. */
    interface Source {
        int read(byte[] into, int max);
    }

    private static final int RING_BYTES = 128 * 1024;

    private final Source source;
    private byte[] scratch = new byte[0];  // for reads into the middle of an array
    private byte[] held = new byte[0];
    private int start;
    private int end;
    private PortException pending;  // met by the dispatcher; thrown to the next reader

    ReceiveBuffer(Source source) {
        this.source = source;
    }

    /** Takes held bytes, else reports a held error, else reads the port; never waits. */
    synchronized int take(byte[] into, int offset, int length) {
        if (end > start) {
            int n = Math.min(length, end - start);
            System.arraycopy(held, start, into, offset, n);
            start += n;
            return n;
        }
        if (pending != null) {
            PortException error = pending;
            pending = null;
            throw error;
        }
        if (offset == 0) return source.read(into, length);
        // The native read fills from index 0; a waiting readFully comes here on every poll, so
        // the array is kept, at most the ring's size (no read returns more).
        int most = Math.min(length, RING_BYTES);
        if (scratch.length < most) scratch = new byte[most];
        int n = source.read(scratch, most);
        System.arraycopy(scratch, 0, into, offset, n);
        return n;
    }

    /**
     * Reads the port into this buffer when it holds nothing, through the caller's scratch array.
     *
     * @return whether bytes or an error are held now
     */
    synchronized boolean fill(byte[] scratch) {
        if (end > start || pending != null) return true;
        try {
            int n = source.read(scratch, scratch.length);
            held = Arrays.copyOf(scratch, n);
            start = 0;
            end = n;
        } catch (PortException e) {
            pending = e;
        }
        return end > start || pending != null;
    }

    synchronized int held() {
        return end - start;
    }
}
