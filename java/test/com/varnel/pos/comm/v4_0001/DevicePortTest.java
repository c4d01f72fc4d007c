package com.varnel.pos.comm.v4_0001;

import static java.nio.charset.StandardCharsets.UTF_8;
import static org.junit.jupiter.api.Assertions.*;

import com.varnel.pos.comm.v4_0001.console.PortConsole;
import com.varnel.pos.comm.v4_0001.port.*;
import java.io.*;
import java.nio.file.*;
import java.time.Duration;
import java.util.*;
import java.util.concurrent.*;
import java.util.function.Consumer;
import java.util.regex.Pattern;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** DevicePort and the port console on the simulator, in a JVM checking their JNI use. */
class DevicePortTest {
    @TempDir static Path root;
    private static int scenarios;

    @BeforeAll
    static void simulatorRoot() throws Exception {
        for (String name : new String[] {"libdcxif.so", "libportconfig.so"}) {
            Path library = Files.createDirectories(root.resolve("varnel_dcx/relayhost")).resolve(name);
            Files.copy(Paths.get(System.getProperty("varnel.sim.root")).resolve(root.relativize(library)), library);
        }
        DevicePort.setInstallRoot(root.toString());
    }

    /** Opens a port after writing the scenario its Open applies: a new text each time, clearing the last one's. */
    private static DevicePort open(String portName, String... lines) throws IOException {
        String text = String.join("\n", lines) + "\n# " + ++scenarios + "\n";
        Files.write(root.resolve("varnel_dcx/relayhost/vsim-scenario.txt"), text.getBytes(UTF_8));
        return portName == null ? null : DevicePort.open("", portName, 1);
    }

    @ParameterizedTest
    @CsvSource({"DCX_GetProperty, 0x80000005, GetProperty, SERVICE_80000005",
        "DCX_GetCapability, 0x40000001, GetCapability, SERVICE_40000001",
        "DCX_ResetDevice, 0x20000009, ResetDevice, SERVICE_20000007_TO_2000000B",
        "DCX_Send, 0x80000006, Write, SERVICE_40000004_OR_80000006",
        "DCX_SetProperty, 0x12345678, SetProperty, UNEXPECTED", "DCX_Lock, 0x40000003, Open, SERVICE_40000003"})
    void aFailingServiceCallRaisesItsResultCodeAndOperation(String function, String code, String operation,
            ResultCode expected) {
        Map<String, Consumer<DevicePort>> calls = Map.of("GetProperty", p -> p.getProperty(4), "GetCapability",
            p -> p.getCapability(7), "ResetDevice", p -> p.resetDevice(0), "Write", p -> p.write(new byte[2]),
            "SetProperty", p -> p.setProperty(3, 6, 1), "Open", p -> {});
        PortException e = assertThrows(PortException.class, () -> {
            try (DevicePort port = open("COM8", "result " + function + " " + code)) {
                calls.get(operation).accept(port);
            }
        });
        assertEquals(List.of(expected, operation), List.of(e.result(), e.operation()));
    }

    @Test
    void closeFromAnotherThreadEndsAReaderWithIllegalStateAndEveryLaterCallToo() throws Exception {
        DevicePort port = open("COM6");
        CompletableFuture<RuntimeException> reader = CompletableFuture.supplyAsync(() -> {
            try {
                for (byte[] chunk = new byte[16]; ; ) port.read(chunk);
            } catch (RuntimeException e) {
                return e;  // a PortException here would mean a closed handle reached the library
            }
        });
        Thread.sleep(20);
        port.close();
        port.close();  // harmless
        assertInstanceOf(IllegalStateException.class, reader.get(5, TimeUnit.SECONDS));
        for (Executable call : List.<Executable>of(() -> port.write(new byte[1]), port::clear, port::powerState,
                 () -> port.getProperty(4), () -> port.getNumber("k"), () -> port.readFully(new byte[1], Duration.ofSeconds(1))))
            assertThrows(IllegalStateException.class, call);
    }

    @Test
    void writeRefusesARangeOutsideTheArraySendsASliceAndReadFullyTimesOutWithWhatArrived() throws Exception {
        try (DevicePort port = open("COM5")) {
            byte[] data = "0123456789".getBytes(UTF_8), back = new byte[5];
            for (int[] r : new int[][] {{0, 11}, {-1, 2}, {8, 3}, {5, -1}, {Integer.MAX_VALUE, 2}})
                assertThrows(IndexOutOfBoundsException.class, () -> port.write(data, r[0], r[1]), Arrays.toString(r));
            assertEquals(3, port.write(data, 7, 3));  // its echo comes first unless a refused write reached the service
            long start = System.nanoTime();
            ReadTimeoutException e = assertThrows(ReadTimeoutException.class, () -> port.readFully(back, Duration.ofMillis(100)));
            long ms = (System.nanoTime() - start) / 1_000_000;
            assertTrue(ms >= 100 && ms < 5000, ms + " ms");  // generous: CI machines are loaded
            assertEquals(List.of("3 of 5 bytes arrived in PT0.1S", "789", "3"),
                List.of(e.getMessage(), new String(back, 0, 3, UTF_8), "" + e.received()));
        }
    }

    @Test
    void customValuesRoundTripInAllThreeKinds() throws Exception {
        try (DevicePort port = open("COM4")) {
            String text = "\u00e9".repeat(300);  // 600 bytes: past the first capacity tried
            byte[] bytes = {0, -1, 7, 0};
            port.setNumber("n", -123456789);
            port.setString("s", text);
            port.setBinary("b", bytes);
            assertEquals(List.of(-123456789, text), List.of(port.getNumber("n"), port.getString("s")));
            assertArrayEquals(bytes, port.getBinary("b"));
            assertArrayEquals(bytes, port.getBinary("b", 4));
            assertEquals(ResultCode.BUFFER_OVERFLOW, assertThrows(PortException.class, () -> port.getString("s", 600)).result());
            assertEquals(ResultCode.SERVICE_8000000B, assertThrows(PortException.class, () -> port.getNumber("none")).result());
        }
    }

    @ParameterizedTest
    @CsvSource(delimiter = ';', value = {
        "capability COM9 1 7 99; probe COM9 --capability 7 --property 0x7F01; 0; 7 +-> SUCCESS \\(0\\)  = 99 .*\\n.*32513 .*= 1 (?s).*Close",
        "result DCX_GetCapability 0x80000005; probe COM9 --capability 8; 9; GetCapability 8 +-> SERVICE_80000005 \\(-9\\)",
        "result DCX_Open 0x80000001; probe COM9; 5; Open +-> SERVICE_NOT_AVAILABLE \\(-5\\)",
        "; send COM9 --hex 41:42:43; 0; Write 3 bytes +-> SUCCESS \\(0\\)  3 sent",
        "; listen COM9 --send hello --seconds 0.3; 0; 00000000  68 65 6c 6c 6f +\\|hello\\|\\n5 bytes received",
        "; echo COM9 --count 300 --size 100; 0; 300 x 100 bytes in .*\\nround trip: min",
        "; echo COM9 --count 300 --size 100 --listener; 0; 300 x 100 bytes in .*\\nround trip: min",
        "property KOVLAN-P 1 4 1|power KOVLAN-P 1 2 after-reads 3; power KOVLAN-P --seconds 0.6; 0; STATE_3 \\(3\\)\\n.*STATE_4 \\(4\\)",
        "; custom COM9 set greeting string bonjour; 0; set string greeting +-> SUCCESS \\(0\\)  = bonjour",
        "; custom COM9 get none number; 10; getNumber +-> SERVICE_8000000B \\(-10\\)",
        "; custom COM9 get; 64; error: expected get", "; echo --help; 0; Usage: echo PORT"})
    void consoleCommandsReportEachStepAndExitWithTheResult(String scenario, String command, int exit, String output)
            throws Exception {
        open(null, scenario == null ? new String[0] : scenario.split("\\|"));
        var captured = new ByteArrayOutputStream();
        var stream = new PrintStream(captured, true, UTF_8);
        assertEquals(exit, PortConsole.run((command + " --root " + root).split(" "), stream, stream), captured::toString);
        assertTrue(Pattern.compile(output).matcher(captured.toString(UTF_8)).find(), captured::toString);
    }
}
