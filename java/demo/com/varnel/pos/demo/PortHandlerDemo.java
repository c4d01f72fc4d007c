package com.varnel.pos.demo;

import com.varnel.pos.comm.v4_0001.PortHandlerIO;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * Drives the bridge against the port-service simulator: a loopback port and a power-reporting
 * port, a message sent and read back, a custom value set and read, power polled, both closed.
 * Prints each step, its result code and what came back; exits non-zero if any step failed.
 */
public final class PortHandlerDemo {
    private int failures;

    private PortHandlerDemo() {}

    private boolean step(String what, int result, int expected, String detail) {
        boolean ok = result == expected;
        if (!ok) failures++;
        System.out.printf("%-44s -> %4d  %s%s%n", what, result, ok ? "ok" : "FAILED (wanted " + expected + ")",
                detail.isEmpty() ? "" : "  " + detail);
        return ok;
    }

    private static byte[] zeroTerminated(String text) {
        byte[] bytes = text.getBytes(StandardCharsets.UTF_8);
        byte[] terminated = new byte[bytes.length + 1];
        System.arraycopy(bytes, 0, terminated, 0, bytes.length);
        return terminated;
    }

    private String readBack(long handle, int length) throws InterruptedException {
        byte[] received = new byte[length];
        byte[] chunk = new byte[length];
        int[] count = {0};
        int got = 0;
        int result = 0;
        long deadline = System.nanoTime() + 5_000_000_000L;
        while (got < length && result == 0 && System.nanoTime() < deadline) {
            result = PortHandlerIO.Read(handle, chunk, length - got, count);
            if (result == 0) {
                System.arraycopy(chunk, 0, received, got, count[0]);
                got += count[0];
                if (count[0] == 0) Thread.sleep(1);
            }
        }
        String text = new String(received, 0, got, StandardCharsets.UTF_8);
        step("Read (polled until the echo arrived)", got == length ? result : -1, 0,
                "\"" + text + "\" (" + got + " bytes)");
        return text;
    }

    private void run(String root) throws Exception {
        // The simulator's scenario: the power-reporting device is on (raw reading 1).
        Path scenario = Paths.get(root, "varnel_dcx", "relayhost", "vsim-scenario.txt");
        Files.write(scenario, "property KOVLAN-DEMO 1 4 1\n".getBytes(StandardCharsets.UTF_8));

        step("SetDCXPath(" + root + ")", PortHandlerIO.SetDCXPath(zeroTerminated(root)), 0, "");

        long[] holder = {0};
        if (!step("Open(\"\", \"COM1\", 1) loopback port",
                PortHandlerIO.Open("", "COM1", 1, holder), 0, "handle " + Long.toHexString(holder[0]))) {
            return;
        }
        long port = holder[0];
        String message = "Hello from Java";
        byte[] bytes = message.getBytes(StandardCharsets.UTF_8);
        int[] count = {0};
        step("Write(\"" + message + "\")", PortHandlerIO.Write(port, bytes, bytes.length, 1000, count), 0,
                count[0] + " bytes sent");
        if (!readBack(port, bytes.length).equals(message)) {
            failures++;
            System.out.println("  the echo differs from what was sent");
        }

        byte[] key = "greeting".getBytes(StandardCharsets.US_ASCII);
        byte[] value = "bonjour".getBytes(StandardCharsets.US_ASCII);
        step("IOCtl set custom string greeting=bonjour",
                PortHandlerIO.IOCtl(port, 0x6007000F, key, key.length, value, value.length, count), 0, "");
        byte[] out = new byte[32];
        int result = PortHandlerIO.IOCtl(port, 0x4007000B, key, key.length, out, out.length, count);
        String got = result == 0 ? new String(out, 0, count[0], StandardCharsets.US_ASCII) : "";
        step("IOCtl get custom string greeting", result, 0, "\"" + got + "\"");
        if (!got.equals("bonjour")) failures++;

        if (step("Open(\"\", \"KOVLAN-DEMO\", 1) power port",
                PortHandlerIO.Open("", "KOVLAN-DEMO", 1, holder), 0, "handle " + Long.toHexString(holder[0]))) {
            long power = holder[0];
            step("checkOstrelPowerStatus (3: device on)", PortHandlerIO.checkOstrelPowerStatus(power), 3, "");
            step("Close(power port)", PortHandlerIO.Close(power), 0, "");
        }
        step("Close(loopback port)", PortHandlerIO.Close(port), 0, "");
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 1) {
            System.err.println("usage: PortHandlerDemo <simulator install root>");
            System.exit(2);
        }
        PortHandlerDemo demo = new PortHandlerDemo();
        demo.run(args[0]);
        System.out.println(demo.failures == 0 ? "demo finished: every step ok"
                                              : "demo finished: " + demo.failures + " step(s) failed");
        System.exit(demo.failures == 0 ? 0 : 1);
    }
}
