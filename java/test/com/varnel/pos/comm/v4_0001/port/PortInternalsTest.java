package com.varnel.pos.comm.v4_0001.port;

import static org.junit.jupiter.api.Assertions.*;

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
        CountDownLatch inCall = new CountDownLatch(1), release = new CountDownLatch(1);
        Future<Object> blocked = Executors.newSingleThreadExecutor().submit(() -> {
            try {
                // A write blocked in the service; the library answers -1 once the handle is closed.
                return handle.call(live -> { inCall.countDown(); await(release); return -1; });
            } catch (IllegalStateException e) {
                return e.getMessage();
            }
        });
        assertTrue(inCall.await(5, TimeUnit.SECONDS));
        assertTimeoutPreemptively(java.time.Duration.ofSeconds(1), () -> assertEquals(42, handle.take()));
        assertEquals(0, handle.take());  // one close only
        release.countDown();
        assertEquals("COM1 is closed", blocked.get(5, TimeUnit.SECONDS));
        assertThrows(IllegalStateException.class, () -> handle.call(live -> fail("the library was called with " + live)));
        // -1 without a close is the library's or the service's answer, for the caller to report.
        assertEquals(-1, new NativeHandle(7, "COM2").call(live -> -1));
    }

    private static void await(CountDownLatch latch) {
        try {
            latch.await();
        } catch (InterruptedException e) {
            throw new AssertionError(e);
        }
    }

    @ParameterizedTest
    @CsvSource({"-1, 4", "5, 4", "-2147483648, 4", "65536, 4", "1, 0"})
    void aCountOutsideTheBufferIsAPortExceptionNotACutOrPaddedValue(int count, int capacity) {
        PortException e = assertThrows(PortException.class, () -> DevicePort.received("getString", new byte[capacity], count));
        assertEquals(List.of(ResultCode.UNEXPECTED, "getString failed: -100 UNEXPECTED (unexpected service result): the library reported "
            + count + " bytes for a buffer of " + capacity), List.of(e.result(), e.getMessage()));
    }

    @Test
    void aCountWithinTheBufferKeepsThatManyBytes() {
        byte[] buffer = {1, 2, 3, 4};
        assertArrayEquals(new byte[0], DevicePort.received("getBinary", buffer, 0));
        assertArrayEquals(new byte[] {1, 2, 3}, DevicePort.received("getBinary", buffer, 3));
        assertArrayEquals(buffer, DevicePort.received("getBinary", buffer, 4));
    }
}
