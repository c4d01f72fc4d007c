package com.varnel.pos.comm.v4_0001;

import static java.nio.charset.StandardCharsets.UTF_8;
import static org.junit.jupiter.api.Assertions.*;

import com.varnel.pos.comm.v4_0001.console.PortConsole;
import com.varnel.pos.comm.v4_0001.port.*;
import java.io.*;
import java.nio.file.*;
import java.time.Duration;
import java.time.temporal.ChronoUnit;
import java.util.*;
import java.util.concurrent.*;
import java.util.function.Consumer;
import java.util.logging.*;
import java.util.regex.Pattern;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.function.ThrowingConsumer;
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
    void closeFromAnotherThreadEndsEveryCallerWithIllegalStateAndEveryLaterCallToo() throws Exception {
        DevicePort port = open("KOVLAN-6");
        List<Consumer<DevicePort>> calls = List.of(p -> p.read(new byte[16]), p -> p.write(new byte[1]),
            p -> p.getProperty(4), DevicePort::powerState, p -> p.findNumber("k"), DevicePort::clear);
        var pool = Executors.newFixedThreadPool(calls.size());
        // A PortException(-1) would be a call that met the close reported as a failure.
        List<Future<RuntimeException>> callers = calls.stream().map(call -> pool.submit(() -> {
            try { for (; ; ) call.accept(port); } catch (RuntimeException e) { return e; } })).toList();
        Thread.sleep(50);
        port.close();
        port.close();  // harmless
        pool.shutdown();
        for (Future<RuntimeException> caller : callers) assertInstanceOf(IllegalStateException.class, caller.get(5, TimeUnit.SECONDS));
        for (Executable call : List.<Executable>of(() -> port.write(new byte[1]), port::clear, port::powerState,
                 () -> port.getProperty(4), () -> port.getNumber("k"), () -> port.readFully(new byte[1], Duration.ofSeconds(1))))
            assertThrows(IllegalStateException.class, call);
    }

    @Test
    void closeReturnsAtOnceWhileAWriteIsBlockedInTheServiceAndTheWriteThenEnds() throws Exception {
        DevicePort port = open("COM9", "send-blocks");  // the simulated send waits for its timeout or the close
        CompletableFuture<Throwable> writer = CompletableFuture.supplyAsync(() -> {
            try { port.write(new byte[4], 0, 4, Duration.ofSeconds(60)); return null; } catch (RuntimeException e) { return e; } });
        Thread.sleep(100);  // the writer is most likely inside the send by now; if not, it meets the close instead
        long start = System.nanoTime();
        port.close();
        long ms = (System.nanoTime() - start) / 1_000_000;
        Throwable ended = writer.get(10, TimeUnit.SECONDS);  // well before the send's own 60 s
        assertTrue(ms < 5000, "close took " + ms + " ms");
        assertTrue(ended instanceof IllegalStateException || ended instanceof PortException, String.valueOf(ended));
    }

    @Test
    void writeRefusesARangeOutsideTheArraySendsASliceAndReadFullyTimesOutWithWhatArrivedOrTakesAnyTimeout() throws Exception {
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
            for (Duration forever : List.of(Duration.ofSeconds(Long.MAX_VALUE, 999_999_999), ChronoUnit.FOREVER.getDuration())) {
                port.write(data, 0, 5);
                port.readFully(back, forever);  // the timeout in nanoseconds overflows a long
                assertEquals("01234", new String(back, UTF_8));
            }
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
            open("COM4", "portcap COM4 21 7").close();  // the scenario applies at an Open
            assertEquals(7, DevicePort.powerReportingCapability(null, "COM4", 0));
            assertEquals(List.of(OptionalInt.of(-123456789), Optional.of(text), OptionalInt.empty(), Optional.empty(), Optional.empty()),
                List.of(port.findNumber("n"), port.findString("s"), port.findNumber("none"), port.findString("none"), port.findBinary("none")));
            assertArrayEquals(bytes, port.findBinary("b").orElseThrow());
            assertEquals("getString: capacity is negative: -1", assertThrows(IllegalArgumentException.class, () -> port.getString("s", -1)).getMessage());
        }
    }

    /** The records the port package logs while the action runs, at the level given. */
    private static List<String> logged(Level level, ThrowingConsumer<List<String>> action) throws Throwable {
        Logger logger = Logger.getLogger(DevicePort.class.getPackage().getName());
        List<String> records = Collections.synchronizedList(new ArrayList<>());
        Handler handler = new StreamHandler() { @Override public void publish(LogRecord r) { records.add(r.getLevel() + " " + r.getMessage()); } };
        Level before = logger.getLevel();
        try {
            logger.setLevel(level);
            logger.addHandler(handler);
            action.accept(records);
            return new ArrayList<>(records);
        } finally {
            logger.removeHandler(handler);
            logger.setLevel(before);
        }
    }

    @Test
    void writesAndReadsAreTracedAsHexDumpsAtFinestOnly() throws Throwable {
        try (DevicePort port = open("COM3")) {
            byte[] back = new byte[17];
            ThrowingConsumer<List<String>> exchange = records -> {
                port.write("0123456789abcdef\u0001".getBytes(UTF_8));
                port.readFully(back, Duration.ofSeconds(5));
            };
            assertEquals(List.of(), logged(Level.FINER, exchange));
            List<String> records = logged(Level.FINEST, exchange);
            String dump = "17 bytes\n00000000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|"
                + "\n00000010  01" + " ".repeat(45) + "  |.|";
            String time = "FINEST \\d{4}-\\d\\d-\\d\\dT\\S+Z COM3 ", bytes = Pattern.quote(dump.replace("\n", System.lineSeparator()));
            assertTrue(String.join("\n", records).matches(time + "write " + bytes + "\n" + time + "read " + bytes), records::toString);
        }
    }

    @Test
    void aPortNeverClosedIsClosedWhenUnreachableWithAWarningNamingIt() throws Throwable {
        List<String> records = logged(Level.INFO, seen -> {
            for (int i = 1; i <= 3; i++) open("FORGOTTEN" + i);  // no reference kept
            for (long end = System.nanoTime() + 20_000_000_000L; seen.size() < 3 && System.nanoTime() < end; Thread.sleep(10))
                System.gc();
        });
        Collections.sort(records);
        assertEquals(List.of(1, 2, 3).stream().map(i -> "WARNING port FORGOTTEN" + i
            + " was never closed; closed it when it became unreachable: Close -> 0 SUCCESS").toList(), records);
    }

    @ParameterizedTest
    @CsvSource(delimiter = ';', value = {"missing; no such file", "text; not an ELF file",
        "7f454c4601010100000000000000000003003e00; not a 64-bit little-endian ELF file",
        "7f454c4602010100000000000000000002003e00; an ELF file but not a shared library",
        "7f454c460201010000000000000000000300b700; an ELF shared library for another machine (not x86-64)",
        "no-DCX_Open; FOUND"})
    void openWithoutAServiceSaysWhereItLookedAndWhatIsWrongThere(String library, String problem) throws Throwable {
        Path other = Files.createTempDirectory(root, "other"), directory = Files.createDirectories(other.resolve("varnel_dcx/relayhost"));
        if (library.startsWith("no-")) other = Paths.get(System.getProperty("varnel.sim.variants"), library);
        else if (!library.equals("missing"))
            Files.write(directory.resolve("libdcxif.so"), library.equals("text") ? "INPUT(libc.so)".getBytes(UTF_8) : HexFormat.of().parseHex(library));
        DevicePort.setInstallRoot(other.toString());
        try {
            String message = assertThrows(PortException.class, () -> DevicePort.open("", "COM1", 1)).getMessage();
            assertTrue(message.startsWith("Open failed: -5 SERVICE_NOT_AVAILABLE (port service not available): install root "
                + other + ", so " + other + "/varnel_dcx/relayhost/ (as set through DevicePort.setInstallRoot)"), message);
            assertTrue(message.contains(problem.equals("FOUND") ? "setInstallRoot): both service libraries are there and are x86-64 ELF shared libraries, so one failed to load"
                : "; " + other + "/varnel_dcx/relayhost/libdcxif.so: " + problem), message);
        } finally {
            DevicePort.setInstallRoot(root.toString());
        }
    }

    @ParameterizedTest
    @CsvSource(delimiter = ';', value = {
        "capability COM9 1 7 99; probe COM9 --capability 7 --property 0x7F01; 0; 7 +-> SUCCESS \\(0\\)  = 99 .*\\n.*32513 .*= 1 (?s).*Close",
        "result DCX_GetCapability 0x80000005; probe COM9 --capability 8; 9; GetCapability 8 +-> SERVICE_80000005 \\(-9\\)",
        "result DCX_Open 0x80000001; probe COM9; 5; Open +-> SERVICE_NOT_AVAILABLE \\(-5\\)",
        "; send COM9 --hex 41:42:43; 0; Write 3 bytes +-> SUCCESS \\(0\\)  3 sent",
        "; listen COM9 --send hello --seconds 0.3; 0; (?m)^TIME  5 bytes\\n00000000  68 65 6c 6c 6f +\\|hello\\|\\nTIME  5 bytes received\\nClose ",
        "; echo COM9 --count 300 --size 100; 0; 300 x 100 bytes in .*\\nround trip: min",
        "; echo COM9 --count 300 --size 100 --listener; 0; 300 x 100 bytes in .*\\nround trip: min",
        "property KOVLAN-P 1 4 1|power KOVLAN-P 1 2 after-reads 3; power KOVLAN-P --seconds 0.6; 0; STATE_3 \\(3\\)\\n.*STATE_4 \\(4\\)",
        "; custom COM9 set greeting string bonjour; 0; set string greeting +-> SUCCESS \\(0\\)  = bonjour",
        "; custom COM9 get none number; 10; getNumber +-> SERVICE_8000000B \\(-10\\)",
        "; custom COM9 get; 64; error: expected get", "; echo --help; 0; Usage: echo PORT", "; ''; 64; ^Usage: java -jar",
        "; --version; 0; ^varnel-porthandler \\d+\\.\\d+", "; probe COM9 --root LONGROOT; 3; SetDCXPath +-> BAD_ARGUMENT \\(-3\\)$"})
    void consoleCommandsReportEachStepAndExitWithTheResult(String scenario, String command, int exit, String output)
            throws Exception {
        open(null, scenario == null ? new String[0] : scenario.split("\\|"));
        var captured = new ByteArrayOutputStream();
        var stream = new PrintStream(captured, true, UTF_8);
        String line = command.isEmpty() || command.contains("--root") ? command.replace("LONGROOT", "r".repeat(300)) : command + " --root " + root;
        assertEquals(exit, PortConsole.run(line.isEmpty() ? new String[0] : line.split(" "), stream, stream), captured::toString);
        Pattern expected = Pattern.compile(output.replace("TIME", "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}"));
        assertTrue(expected.matcher(captured.toString(UTF_8)).find(), captured::toString);
    }
}
