package com.varnel.pos.example;

import com.varnel.pos.comm.v4_0001.port.DevicePort;
import com.varnel.pos.comm.v4_0001.port.PowerState;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.concurrent.TimeoutException;

/**
 * A small device service, the testkit's example: a receipt printer that prints a line and is then
 * asked for its status.
 *
 * <p>The printer's protocol: a print job is the line's ASCII bytes and a line feed; the status
 * request is ESC 's'; the printer answers with six bytes, "S:", two hexadecimal digits and CR LF,
 * the digits 00 when ready, with bit 0 set when out of paper. It reports power reading 1 while on
 * and 0 once switched off (a port whose name holds the power marker, for instance KOVLAN-PRN).
 */
public final class ReceiptPrinter implements AutoCloseable {
    /** What {@link #printAndCheck(String)} learnt. */
    public enum Status {
        /** The printer answered: ready. */
        READY,
        /** The printer answered: out of paper. */
        PAPER_OUT,
        /** No complete answer in time, but the printer is not known to be off. */
        NO_ANSWER,
        /** No complete answer in time, and the port reports the printer switched off. */
        OFFLINE
    }

    static final byte[] STATUS_REQUEST = {0x1B, 's'};
    private static final int REPLY_LENGTH = 6;

    private final DevicePort port;
    private final Duration replyTimeout;

    /**
     * Opens the printer's port.
     *
     * @param portName the port the printer is on
     * @param replyTimeout how long to wait for the status
     */
    public ReceiptPrinter(String portName, Duration replyTimeout) {
        this.port = DevicePort.open(null, portName, 1);
        this.replyTimeout = replyTimeout;
    }

    /**
     * Prints a line, then asks the printer for its status.
     *
     * @param line the text, ASCII
     * @return the printer's status
     * @throws InterruptedException when interrupted while waiting for the answer
     * @throws IllegalStateException for an answer that is not a status
     */
    public Status printAndCheck(String line) throws InterruptedException {
        port.clear();  // a late answer to an earlier request must not pass for this one's
        port.write((line + "\n").getBytes(StandardCharsets.US_ASCII));
        port.write(STATUS_REQUEST);
        byte[] reply = new byte[REPLY_LENGTH];
        try {
            // The answer may come in several blocks: wait for all six bytes, not for one read.
            port.readFully(reply, replyTimeout);
        } catch (TimeoutException e) {
            return port.powerState() == PowerState.STATE_0 ? Status.OFFLINE : Status.NO_ANSWER;
        }
        String text = new String(reply, StandardCharsets.US_ASCII);
        int flags = text.startsWith("S:") && text.endsWith("\r\n") ? hex(text.substring(2, 4)) : -1;
        if (flags < 0) throw new IllegalStateException("not a status: " + text.trim());
        return (flags & 1) != 0 ? Status.PAPER_OUT : Status.READY;
    }

    private static int hex(String digits) {
        try {
            return Integer.parseInt(digits, 16);
        } catch (NumberFormatException e) {
            return -1;
        }
    }

    /** Closes the printer's port. */
    @Override
    public void close() {
        port.close();
    }
}
