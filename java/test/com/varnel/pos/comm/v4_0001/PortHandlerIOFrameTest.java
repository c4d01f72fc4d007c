package com.varnel.pos.comm.v4_0001;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** Every native method binds in a real JVM and answers its argument checks. */
class PortHandlerIOFrameTest {
    private static final int BAD_HANDLE = -1;
    private static final int BAD_PARAMETER = -3;

    private static byte[] root(String path) {
        byte[] text = path.getBytes(StandardCharsets.UTF_8);
        byte[] bytes = new byte[text.length + 1];
        System.arraycopy(text, 0, bytes, 0, text.length);
        return bytes;
    }

    @AfterEach
    void defaultRoot() {
        assertEquals(0, PortHandlerIO.SetDCXPath(new byte[] {0}));
    }

    @Test
    void handleZeroIsRefusedByEveryPerPortMethod() {
        long[] value = {42};
        int[] count = {42};
        assertEquals(BAD_HANDLE, PortHandlerIO.Close(0));
        assertEquals(BAD_HANDLE, PortHandlerIO.Clear(0));
        assertEquals(BAD_HANDLE, PortHandlerIO.Write(0, new byte[1], 1, 0, count));
        assertEquals(BAD_HANDLE, PortHandlerIO.Read(0, new byte[1], 1, count));
        assertEquals(BAD_HANDLE, PortHandlerIO.GetProperty(0, 4, value));
        assertEquals(BAD_HANDLE, PortHandlerIO.SetProperty(0, 3, 6, 1L));
        assertEquals(BAD_HANDLE, PortHandlerIO.GetCapability(0, 1, value));
        assertEquals(BAD_HANDLE, PortHandlerIO.ResetDevice(0, 0));
        assertEquals(BAD_HANDLE, PortHandlerIO.IOCtl(0, 0x40040002, null, 0, new byte[8], 8, count));
        assertEquals(BAD_HANDLE, PortHandlerIO.checkOstrelPowerStatus(0));
        assertArrayEquals(new long[] {42}, value);
        assertArrayEquals(new int[] {42}, count);
    }

    @Test
    void missingRequiredArgumentsAreRefused() {
        // Read tests its arrays before its handle; Write its handle before its data.
        assertEquals(BAD_PARAMETER, PortHandlerIO.Read(0, null, 1, new int[1]));
        assertEquals(BAD_PARAMETER, PortHandlerIO.Read(0, new byte[1], 1, null));
        assertEquals(BAD_HANDLE, PortHandlerIO.Write(0, null, 1, 0, null));
        assertEquals(BAD_PARAMETER, PortHandlerIO.Write(1, null, 1, 0, null));
        long[] handle = {7};
        assertEquals(BAD_PARAMETER, PortHandlerIO.Open("", null, 1, handle));
        assertEquals(BAD_PARAMETER, PortHandlerIO.Open("", "COM1", 1, null));
        assertArrayEquals(new long[] {7}, handle);
    }

    @Test
    void installRootIsAcceptedOrRefusedByLength() {
        assertEquals(0, PortHandlerIO.SetDCXPath(root("/usr/local")));
        assertEquals(0, PortHandlerIO.SetDCXPath(new byte[] {'l', 'i', 'b'}));  // no 0 byte
        assertEquals(BAD_PARAMETER, PortHandlerIO.SetDCXPath(null));
        assertEquals(BAD_PARAMETER, PortHandlerIO.SetDCXPath(root("/x".repeat(200))));
    }

    @Test
    void portCapabilityOtherThanPowerReportingIsRefusedWithZero() {
        int[] value = {42};
        assertEquals(BAD_PARAMETER, PortHandlerIO.GetPortCapability("", "COM1", 20, 0, value));
        assertEquals(0, value[0]);
    }
}
