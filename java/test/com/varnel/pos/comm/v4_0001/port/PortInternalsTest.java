package com.varnel.pos.comm.v4_0001.port;

import static org.junit.jupiter.api.Assertions.*;

import java.time.Duration;
import java.util.List;
import java.util.concurrent.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The port's parts that need a stand-in for the library: calls that block in it, counts it gets wrong. */
class PortInternalsTest {
    @Test
    void aCloseDoesNotWaitForABlockedCallWhichThenReportsTheClose() throws Exception {
        NativeHandle handle = new NativeHandle(42, "COM1");
        Semaphore inCall = new Semaphore(0), release = new Semaphore(0);
        Future<Object> blocked = Executors.newSingleThreadExecutor().submit(() -> {
            try {  // a write blocked in the service; the library answers -1 once the handle is closed
                return handle.call(live -> { inCall.release(); release.acquireUninterruptibly(); return -1; });
            } catch (IllegalStateException e) {
                return e.getMessage();
            }
        });
        assertTrue(inCall.tryAcquire(5, TimeUnit.SECONDS));
        assertEquals(42, assertTimeoutPreemptively(Duration.ofSeconds(1), handle::take));
        assertEquals(0, handle.take());  // one close only
        release.release();
        assertEquals("COM1 is closed", blocked.get(5, TimeUnit.SECONDS));
        assertThrows(IllegalStateException.class, () -> handle.call(live -> fail("the library was called with " + live)));
        // -1 without a close is the library's or the service's answer, for the caller to report.
        assertEquals(-1, new NativeHandle(7, "COM2").call(live -> -1));
    }

    @ParameterizedTest
    @CsvSource({"-1, 4, ", "5, 4, ", "-2147483648, 4, ", "65536, 4, ", "1, 0, ", "0, 4, ''", "3, 4, 010203", "4, 4, 01020304"})
    void aCountOutsideTheBufferIsAPortExceptionNotACutOrPaddedValue(int count, int capacity, String kept) {
        byte[] buffer = java.util.HexFormat.of().parseHex("01020304".substring(0, 2 * capacity));
        if (kept != null) {
            assertArrayEquals(java.util.HexFormat.of().parseHex(kept), DevicePort.received("getBinary", buffer, count));
        } else {
            PortException e = assertThrows(PortException.class, () -> DevicePort.received("getString", buffer, count));
            assertEquals(List.of(ResultCode.UNEXPECTED, "getString failed: -100 UNEXPECTED (unexpected service result): the library "
                + "reported " + count + " bytes for a buffer of " + capacity), List.of(e.result(), e.getMessage()));
        }
    }
}
