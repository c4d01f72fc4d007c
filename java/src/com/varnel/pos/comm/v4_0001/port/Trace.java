package com.varnel.pos.comm.v4_0001.port;

import java.time.Instant;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Hex dumps of every write and read at {@link Level#FINEST} of the logger named for this package,
 * for protocol work. Callers ask {@link #on()} once per call: off, tracing costs that test and
 * allocates nothing.
 */
final class Trace {
    private static final Logger LOG = Logger.getLogger(Trace.class.getPackage().getName());
    private static final char[] DIGITS = "0123456789abcdef".toCharArray();

    private Trace() {}

    static boolean on() {
        return LOG.isLoggable(Level.FINEST);
    }

    /** Logs what one native call moved: {@code length} bytes of {@code data} from {@code offset}. */
    static void dump(String portName, String operation, int result, byte[] data, int offset, int length) {
        StringBuilder text = new StringBuilder(96 + length * 5);
        text.append(Instant.now()).append(' ').append(portName).append(' ').append(operation).append(' ')
                .append(length).append(" bytes");
        if (result != 0) text.append(", result ").append(result);
        for (int line = 0; line < length; line += 16) {
            int end = Math.min(length, line + 16);
            text.append(String.format("%n%08x ", line));
            for (int i = line; i < line + 16; i++) {
                if (i < end) {
                    text.append(' ').append(DIGITS[(data[offset + i] >> 4) & 0xF]).append(DIGITS[data[offset + i] & 0xF]);
                } else {
                    text.append("   ");
                }
            }
            text.append("  |");
            for (int i = line; i < end; i++) {
                byte b = data[offset + i];
                text.append(b >= 0x20 && b < 0x7F ? (char) b : '.');
            }
            text.append('|');
        }
        LOG.log(Level.FINEST, text.toString());
    }
}
