package com.varnel.pos.comm.v4_0001;

import static com.varnel.pos.comm.v4_0001.PortHandlerIO.*;
import static org.junit.jupiter.api.Assertions.*;

import java.io.ByteArrayOutputStream;
import java.nio.file.*;
import java.util.concurrent.*;
import java.util.concurrent.atomic.*;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;

/** The native methods in a JVM checking their JNI use, on the simulator from a copy of its root. */
class PortHandlerIOTest {
    @TempDir static Path root;  // so that the scenario files written here reach no other program

    @BeforeAll
    static void simulatorRoot() throws Exception {
        for (String name : new String[] {"libdcxif.so", "libportconfig.so"}) {
            Path library = Files.createDirectories(root.resolve("varnel_dcx/relayhost")).resolve(name);
            Files.copy(Paths.get(System.getProperty("varnel.sim.root")).resolve(root.relativize(library)), library);
        }
        assertEquals(0, SetDCXPath((root + "\0").getBytes()));
    }

    /** Opens a port after writing the scenario the simulator applies at the next Open. */
    private static long openWith(String portName, String... scenario) throws Exception {
        Files.write(root.resolve("varnel_dcx/relayhost/vsim-scenario.txt"), String.join("\n", scenario).getBytes());
        long[] handle = {0};
        assertEquals(0, Open("", portName, 1, handle), "Open " + portName);
        return handle[0];
    }

    @Test
    void everyMethodBindsAndRefusesHandleZeroOrAMissingArgument() {
        int[] results = {Close(0), Clear(0), Write(0, new byte[1], 1, 0, null), Read(0, new byte[1], 1, null),
            GetProperty(0, 4, new long[1]), SetProperty(0, 3, 6, 1L), GetCapability(0, 1, new long[1]),
            ResetDevice(0, 0), checkOstrelPowerStatus(0), IOCtl(0, 0x40040002, null, 0, new byte[8], 8, null),
            Open("", null, 1, new long[1]), GetPortCapability("", "COM1", 20, 0, new int[1]), SetDCXPath(null),
            SetDCXPath("lib".getBytes()), SetDCXPath((root + "\0").getBytes())};
        assertArrayEquals(new int[] {-1, -1, -1, -3, -1, -1, -1, -1, -1, -1, -3, -3, -3, 0, 0}, results);
    }

    @Test
    void closedAndForgedHandlesAreRefusedLikeHandleZero() throws Exception {
        long live = openWith("COM3"), closed = openWith("KOVLAN-3");
        assertEquals(0, Close(closed));
        for (long handle : new long[] {closed, live + 16, 0x7f00deadbee0L}) {
            int[] count = {5};
            int[] results = {Write(handle, new byte[2], 2, 0, count), Read(handle, new byte[2], 2, count),
                Clear(handle), GetProperty(handle, 4, new long[1]), IOCtl(handle, 0x40040002, null, 0, new byte[8], 8, count),
                checkOstrelPowerStatus(handle), Close(handle)};
            assertArrayEquals(new int[] {-1, -1, -1, -1, -1, -1, -1}, results, Long.toHexString(handle));
            assertEquals(5, count[0]);
        }
        assertEquals(0, Close(live));
    }

    @Test
    void scenarioIsAppliedAnOverflowIsReportedOnceAndThenEchoesComeBackWhole() throws Exception {
        long handle = openWith("COM1", "capability COM1 1 7 99");
        long[] value = {0};
        assertEquals(0, GetCapability(handle, 7, value));
        assertEquals(99L, value[0]);
        // Two echoes that cannot fit together and none after them: none is on its way once -7 is seen.
        for (int i = 0; i < 2; i++) assertEquals(0, Write(handle, new byte[0x10000], 0x10000, 0, null));
        int[] count = {0};
        int result = 0;
        for (long end = System.nanoTime() + 5_000_000_000L; result == 0 && System.nanoTime() < end; )
            result = Read(handle, new byte[1], 0, count);
        assertEquals(-7, result);
        byte[] message = "hello, device".getBytes(), chunk = new byte[5];
        assertEquals(0, Write(handle, message, message.length, 1000, null));
        var received = new ByteArrayOutputStream();  // the message alone: reporting -7 emptied the ring
        for (long end = System.nanoTime() + 5_000_000_000L; received.size() < 13; received.write(chunk, 0, count[0])) {
            assertEquals(0, Read(handle, chunk, Integer.MAX_VALUE, count));  // bounded by the array
            assertTrue(count[0] <= 5 && System.nanoTime() < end, count[0] + " bytes after " + received.size());
        }
        assertArrayEquals(message, received.toByteArray());
        assertEquals(0, Close(handle));
    }

    @Test
    void threadsReadingOnePortShareItsStreamWithoutLossOrRepeat() throws Exception {
        long handle = openWith("COM2");
        final int total = 4 << 20;
        final long end = System.nanoTime() + 30_000_000_000L;
        AtomicLong received = new AtomicLong();
        AtomicLongArray seen = new AtomicLongArray(251);  // bytes read per value: their place modulo 251
        var pool = Executors.newFixedThreadPool(4);
        Future<?>[] readers = new Future<?>[4];
        for (int t = 0; t < readers.length; t++) {
            byte[] chunk = new byte[1000 + 3000 * t];
            readers[t] = pool.submit(() -> {
                for (int[] count = {0}; received.get() < total; received.addAndGet(count[0])) {
                    assertTrue(System.nanoTime() < end, "stream incomplete at " + received.get());
                    assertEquals(0, Read(handle, chunk, Integer.MAX_VALUE, count));
                    assertTrue(count[0] <= chunk.length, "count " + count[0]);
                    for (int i = 0; i < count[0]; i++) {  // one Read gives one run of the stream
                        assertTrue(i == 0 || (chunk[i - 1] & 0xFF) == ((chunk[i] & 0xFF) + 250) % 251);
                        seen.incrementAndGet(chunk[i] & 0xFF);
                    }
                }
                return null;
            });
        }
        byte[] block = new byte[4096];
        for (int sent = 0; sent < total; sent += block.length) {
            for (int i = 0; i < block.length; i++) block[i] = (byte) ((sent + i) % 251);
            while (sent - received.get() > 0xC000) {  // well inside the ring's 128 KiB
                for (Future<?> reader : readers) if (reader.isDone()) reader.get();  // its failure
                assertTrue(System.nanoTime() < end, "readers stalled at " + received.get());
                Thread.sleep(0, 100_000);
            }
            assertEquals(0, Write(handle, block, block.length, 1000, null));
        }
        pool.shutdown();
        for (Future<?> reader : readers) reader.get(30, TimeUnit.SECONDS);  // rethrows a failure
        for (int r = 0; r < 251; r++) assertEquals(total / 251 + (r < total % 251 ? 1 : 0), seen.get(r), "of " + r);
        assertEquals(0, Close(handle));
    }
}
