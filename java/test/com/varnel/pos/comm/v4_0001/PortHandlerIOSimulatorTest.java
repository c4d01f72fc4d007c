package com.varnel.pos.comm.v4_0001;

import static com.varnel.pos.comm.v4_0001.SimulatorSupport.open;
import static com.varnel.pos.comm.v4_0001.SimulatorSupport.readExactly;
import static com.varnel.pos.comm.v4_0001.SimulatorSupport.scenario;
import static com.varnel.pos.comm.v4_0001.SimulatorSupport.zeroTerminated;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** A port's whole life, from Java, against the port-service simulator. */
class PortHandlerIOSimulatorTest {
    private static final int DEVICE = 1;

    @BeforeEach
    void simulatorRoot() throws Exception {
        SimulatorSupport.useRoot(SimulatorSupport.root());
        scenario("# no programmed behaviour");
    }

    @AfterEach
    void defaultRoot() {
        assertEquals(0, PortHandlerIO.SetDCXPath(new byte[] {0}));
    }

    @Test
    void writtenBytesComeBackThroughRead() throws Exception {
        long handle = open("", "COM1", DEVICE);
        byte[] message = "hello, device".getBytes(StandardCharsets.US_ASCII);
        int[] sent = {-1};
        assertEquals(0, PortHandlerIO.Write(handle, message, message.length, 1000, sent));
        assertEquals(message.length, sent[0]);
        assertArrayEquals(message, readExactly(handle, message.length, 5000));

        int[] count = {-1};
        assertEquals(0, PortHandlerIO.Read(handle, new byte[16], 16, count));
        assertEquals(0, count[0], "nothing more is waiting");
        assertEquals(0, PortHandlerIO.Clear(handle));
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void readNeverWritesBeyondTheArrayWhateverTheMaximum() throws Exception {
        long handle = open(null, "COM2", DEVICE);
        byte[] message = new byte[64];
        java.util.Arrays.fill(message, (byte) 0x5A);
        assertEquals(0, PortHandlerIO.Write(handle, message, message.length, 0, null));
        byte[] small = new byte[8];
        int[] count = {0};
        long deadline = System.nanoTime() + 5_000_000_000L;
        do {
            assertEquals(0, PortHandlerIO.Read(handle, small, 1 << 20, count));
        } while (count[0] == 0 && System.nanoTime() < deadline);
        assertEquals(8, count[0], "the array's length bounds the copy");
        byte[] eight = new byte[8];
        java.util.Arrays.fill(eight, (byte) 0x5A);
        assertArrayEquals(eight, small);
        byte[] rest = new byte[56];
        java.util.Arrays.fill(rest, (byte) 0x5A);
        assertArrayEquals(rest, readExactly(handle, 56, 5000), "nothing was lost");
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void overflowIsReportedOnceAndTheRingStartsAfresh() throws Exception {
        long handle = open("", "COM3", DEVICE);
        byte[] block = new byte[0x10000];
        for (int i = 0; i < 3; i++) {
            assertEquals(0, PortHandlerIO.Write(handle, block, block.length, 0, null));
        }
        int[] count = {0};
        long deadline = System.nanoTime() + 5_000_000_000L;
        int result;
        do {
            result = PortHandlerIO.Read(handle, new byte[1], 0, count);
        } while (result == 0 && System.nanoTime() < deadline);
        assertEquals(-7, result, "the second 64 KiB block cannot fit beside the first");
        assertEquals(0, PortHandlerIO.Read(handle, new byte[16], 16, count));
        assertEquals(0, count[0], "the Read that reported the overflow emptied the ring");

        byte[] again = "after".getBytes(StandardCharsets.US_ASCII);
        assertEquals(0, PortHandlerIO.Write(handle, again, again.length, 0, null));
        assertArrayEquals(again, readExactly(handle, again.length, 5000));
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void propertiesCapabilitiesAndPropertySixThroughIOCtl() throws Exception {
        scenario("capability COM4 1 7 99");
        long handle = open("", "COM4", DEVICE);
        long[] value = {0};
        assertEquals(0, PortHandlerIO.SetProperty(handle, 3, 6, 0x0102030405060708L));
        assertEquals(0, PortHandlerIO.GetProperty(handle, 6, value));
        assertEquals(0x0102030405060708L, value[0]);

        byte[] out = new byte[8];
        int[] count = {-1};
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x40040002, null, 0, out, 8, count));
        assertEquals(8, count[0]);
        assertArrayEquals(new byte[] {8, 7, 6, 5, 4, 3, 2, 1}, out, "little-endian");

        byte[] in = ByteBuffer.allocate(8).order(ByteOrder.LITTLE_ENDIAN).putLong(-2L).array();
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x60040002, in, 8, null, 0, count));
        assertEquals(0, count[0]);
        assertEquals(0, PortHandlerIO.GetProperty(handle, 6, value));
        assertEquals(-2L, value[0]);
        assertEquals(-3, PortHandlerIO.IOCtl(handle, 0x40040002, null, 0, new byte[4], 4, count),
                "four bytes cannot take property 6");

        assertEquals(0, PortHandlerIO.GetCapability(handle, 7, value));
        assertEquals(99L, value[0]);
        assertEquals(0, PortHandlerIO.ResetDevice(handle, 1));
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void customValuesOfEachKind() throws Exception {
        long handle = open("svc", "COM5", DEVICE);
        byte[] key = "volume".getBytes(StandardCharsets.US_ASCII);
        int[] count = {-1};

        byte[] number = {4, 3, 2, 1};
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x6007000E, key, key.length, number, 4, count));
        assertEquals(0, count[0], "a set reports no output");
        byte[] two = new byte[2];
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x4007000A, key, key.length, two, 2, count));
        assertEquals(2, count[0]);
        assertArrayEquals(new byte[] {4, 3}, two);

        byte[] name = "label".getBytes(StandardCharsets.US_ASCII);
        byte[] text = "abc".getBytes(StandardCharsets.US_ASCII);
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x6007000F, name, name.length, text, 3, count));
        byte[] string = new byte[16];
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x4007000B, name, name.length, string, 16, count));
        assertEquals(3, count[0]);
        assertEquals("abc", new String(string, 0, 3, StandardCharsets.US_ASCII));

        byte[] blob = {0, 1, 2, (byte) 0xFF, 0};
        byte[] blobKey = "blob".getBytes(StandardCharsets.US_ASCII);
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x6007000D, blobKey, 4, blob, 5, count));
        byte[] back = new byte[8];
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x40070009, blobKey, 4, back, 8, count));
        assertEquals(5, count[0]);
        assertArrayEquals(blob, java.util.Arrays.copyOf(back, 5));

        assertEquals(-3, PortHandlerIO.IOCtl(handle, 0x4007000B, name, 99, string, 16, count),
                "a key length beyond the array is refused");
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void otherCodesReachTheServiceExtension() throws Exception {
        long handle = open("", "COM6", DEVICE);
        byte[] in = "ping!".getBytes(StandardCharsets.US_ASCII);
        byte[] out = new byte[8];
        int[] count = {-1};
        // The simulator's extension function echoes the input into the output.
        assertEquals(0, PortHandlerIO.IOCtl(handle, 0x12345678, in, 5, out, 8, count));
        assertEquals(5, count[0]);
        assertArrayEquals(in, java.util.Arrays.copyOf(out, 5));
        assertEquals(-3, PortHandlerIO.IOCtl(handle, 0x12345678, in, 6, out, 8, count),
                "an input length beyond the array never reaches the service");
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void powerReportBetweenPollsIsSeenOnce() throws Exception {
        // Reading 0 at open; after the first poll the device reports 2 (state 4) and then 0.
        scenario("property KOVLAN-A 1 4 0",
                "power KOVLAN-A 1 2 after-reads 2",
                "power KOVLAN-A 1 0 after-reads 2");
        long handle = open("", "KOVLAN-A", DEVICE);
        assertEquals(0, PortHandlerIO.checkOstrelPowerStatus(handle));
        long deadline = System.nanoTime() + 5_000_000_000L;
        int state;
        do {
            state = PortHandlerIO.checkOstrelPowerStatus(handle);
            assertTrue(state == 0 || state == 4, "state " + state);
        } while (state != 4 && System.nanoTime() < deadline);
        assertEquals(4, state, "the report of state 4 reaches the next poll");
        assertEquals(0, PortHandlerIO.checkOstrelPowerStatus(handle), "4 is reported once");
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void lostLockIsTakenAgainByALaterPoll() throws Exception {
        // The first poll's power read makes the service report the lock lost; the first attempt
        // to lock again fails, so the loss stays visible until a later poll retries.
        scenario("property KOVLAN-B 1 4 1", "lock-lost KOVLAN-B 1 after-reads 2",
                "result DCX_Lock 0x80000005 2");
        long handle = open("", "KOVLAN-B", DEVICE);
        long[] locked = {-1};
        assertEquals(0, PortHandlerIO.GetProperty(handle, SimulatorSupport.LOCK_HELD_PROPERTY, locked));
        assertEquals(1, locked[0], "Open locked the port");
        assertEquals(3, PortHandlerIO.checkOstrelPowerStatus(handle));  // reading 1: power on
        assertEquals(0, PortHandlerIO.GetProperty(handle, SimulatorSupport.LOCK_HELD_PROPERTY, locked));
        assertEquals(0, locked[0], "the service took the lock away");

        long deadline = System.nanoTime() + 5_000_000_000L;
        do {
            Thread.sleep(1);
            assertEquals(3, PortHandlerIO.checkOstrelPowerStatus(handle), "power is reported all the same");
            assertEquals(0, PortHandlerIO.GetProperty(handle, SimulatorSupport.LOCK_HELD_PROPERTY, locked));
        } while (locked[0] == 0 && System.nanoTime() < deadline);
        assertEquals(1, locked[0], "a poll locked the port again");
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void portNotReportingPowerIsNotMonitored() throws Exception {
        long handle = open("", "kovlan-lower", DEVICE);
        assertEquals(-1, PortHandlerIO.checkOstrelPowerStatus(handle));
        assertEquals(0, PortHandlerIO.Close(handle));
    }

    @Test
    void powerReportingCapabilityIsAskedOfTheConfiguration() throws Exception {
        scenario("portcap KOVLAN-C 21 1");
        open("", "COM7", DEVICE);  // applies the scenario
        int[] value = {-1};
        assertEquals(0, PortHandlerIO.GetPortCapability("", "KOVLAN-C", 21, 0, value));
        assertEquals(1, value[0]);
    }

    @Test
    void missingServiceLibraryGivesNotAvailable() {
        SimulatorSupport.useRoot("/nonexistent/varnel-root");
        long[] handle = {7};
        assertEquals(-5, PortHandlerIO.Open("", "COM1", DEVICE, handle));
        assertEquals(7, handle[0], "a failed open leaves the holder alone");
    }

    @Test
    void failingOpenOrLockReturnsItsCodeAndLeavesNoPort() throws Exception {
        long[] handle = {7};
        scenario("result DCX_Open 0x80000005 1");
        assertEquals(-9, PortHandlerIO.Open("", "COM8", DEVICE, handle));
        assertEquals(7, handle[0]);
        scenario("result DCX_Lock 0x40000004 1");
        assertEquals(-11, PortHandlerIO.Open("", "COM8", DEVICE, handle));
        assertEquals(7, handle[0]);
        scenario("# nothing programmed");
        long opened = open("", "COM8", DEVICE);
        assertEquals(0, PortHandlerIO.Close(opened));
    }

    @Test
    void installRootWithoutTerminatorIsTakenWhole() throws Exception {
        assertEquals(0, PortHandlerIO.SetDCXPath(SimulatorSupport.root().getBytes(StandardCharsets.UTF_8)));
        long handle = open("", "COM9", DEVICE);
        assertEquals(0, PortHandlerIO.Close(handle));
        assertEquals(0, PortHandlerIO.SetDCXPath(zeroTerminated(SimulatorSupport.root())));
    }
}
