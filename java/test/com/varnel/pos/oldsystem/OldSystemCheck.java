package com.varnel.pos.oldsystem;

import com.varnel.pos.comm.v4_0001.port.DevicePort;
import com.varnel.pos.comm.v4_0001.port.PowerState;
import java.time.Duration;
import java.util.Arrays;

/** What an older system's JVM must manage with only the jar on the class path: echo, a custom
 * value and a power poll against the simulator root args[0]. Exits non-zero on any difference. */
public final class OldSystemCheck {
    public static void main(String[] args) throws Exception {
        DevicePort.setInstallRoot(args[0]);
        long[] nanos = new long[2000];
        byte[] block = new byte[64], back = new byte[64];
        try (DevicePort port = DevicePort.open("", "COM1", 1)) {
            for (int i = 0; i < nanos.length; i++) {
                Arrays.fill(block, (byte) i);
                long start = System.nanoTime();
                port.write(block);
                port.readFully(back, Duration.ofSeconds(5));
                nanos[i] = System.nanoTime() - start;
                if (!Arrays.equals(block, back)) throw new AssertionError("echo " + i + " differs");
            }
            port.setString("oldsystem", "bullseye");
            String value = port.getString("oldsystem");
            if (!value.equals("bullseye")) throw new AssertionError("custom value came back as " + value);
        }
        PowerState power;
        try (DevicePort port = DevicePort.open("", "KOVLAN-OLD", 1)) {
            power = port.powerState();
        }
        if (power == PowerState.UNKNOWN) throw new AssertionError("KOVLAN port reports no power state");
        Arrays.sort(nanos);
        System.out.printf("Java %s: %d echoes of 64 B, median %.1f us, p99 %.1f us; custom value ok;"
                + " KOVLAN power %s%n", System.getProperty("java.version"), nanos.length,
            nanos[nanos.length / 2] / 1e3, nanos[nanos.length * 99 / 100] / 1e3, power);
    }
}
