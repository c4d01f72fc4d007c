package com.varnel.pos.comm.v4_0001;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.*;

import com.varnel.pos.comm.v4_0001.port.*;
import java.io.*;
import java.nio.file.*;
import java.time.Duration;
import java.util.*;
import java.util.concurrent.*;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BooleanSupplier;
import java.util.logging.*;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;

/** Listeners, waiting reads and streams on the simulator's loopback, served by the one dispatcher. */
class ReceiveTest {
    @TempDir static Path root;
    private static final Logger LOG = Logger.getLogger("com.varnel.pos.comm.v4_0001.port");
    private static final List<LogRecord> logged = new CopyOnWriteArrayList<>();
    private static int ports;

    @BeforeAll
    static void simulatorRootAndLog() throws IOException {
        for (String name : new String[] {"libdcxif.so", "libportconfig.so"}) {
            Path library = Files.createDirectories(root.resolve("varnel_dcx/relayhost")).resolve(name);
            Files.copy(Paths.get(System.getProperty("varnel.sim.root")).resolve(root.relativize(library)), library);
        }
        LOG.setUseParentHandlers(false);  // a listener's exception is expected here; keep the output clean
        LOG.addHandler(new Handler() {
            @Override public void publish(LogRecord r) { logged.add(r); }
            @Override public void flush() {}
            @Override public void close() {}
        });
    }

    private static DevicePort open() {
        DevicePort.setInstallRoot(root.toString());
        return DevicePort.open("", "COM" + (40 + ++ports), 1);
    }

    private static void await(BooleanSupplier done, Object what) {
        for (long end = System.nanoTime() + 10_000_000_000L; !done.getAsBoolean(); Thread.onSpinWait()) {
            if (System.nanoTime() > end) fail("timed out waiting for " + what);
        }
    }

    /** Overfills a port's ring; the simulator's one delivery thread, in order, makes a marker echoed on
     *  another port the proof that every block reached the ring. */
    private static void overfill(DevicePort port) throws Exception {
        for (int i = 0; i < 40; i++) port.write(new byte[4096]);
        try (DevicePort other = open()) {
            other.write("mark".getBytes(US_ASCII));
            await(() -> other.read(new byte[4]) > 0, "the marker");  // polled: the dispatcher may be held up
        }
    }

    static DevicePort listen(DevicePort port, String kind, DataListener listener) {
        switch (kind) {
            case "blocks": port.addDataListener(listener); break;
            case "messages": port.addDataListener("\r\n".getBytes(US_ASCII), listener); break;
            default: port.addDataListener(7, listener);
        }
        return port;
    }

    static List<String> frames(String kind, String stream) {
        if (kind.equals("messages")) return Arrays.asList(stream.split("\r\n"));
        List<String> out = new ArrayList<>();
        for (int i = 0; i + 7 <= stream.length(); i += 7) out.add(stream.substring(i, i + 7));
        return out;  // blocks: compared as one string, since the library may join or split them
    }

    @ParameterizedTest
    @ValueSource(strings = {"blocks", "messages", "packets"})
    void eachKindDeliversItsPortsStreamInOrderOnOneThreadPastAThrowingListener(String kind) throws Exception {
        logged.clear();
        Map<DevicePort, StringBuilder> sent = new LinkedHashMap<>(), got = new LinkedHashMap<>();
        Map<DevicePort, List<String>> framesGot = new HashMap<>();
        Set<String> threads = ConcurrentHashMap.newKeySet();
        AtomicInteger thrown = new AtomicInteger();
        for (int p = 0; p < 2; p++) {
            DevicePort port = listen(open(), kind, data -> {
                thrown.incrementAndGet();
                throw new IllegalStateException("listener fault");
            });
            List<String> frames = new CopyOnWriteArrayList<>();
            StringBuilder all = new StringBuilder();
            listen(port, kind, data -> {
                threads.add(Thread.currentThread().getName());
                frames.add(new String(data, US_ASCII));
                synchronized (all) { all.append(new String(data, US_ASCII)); }
            });
            sent.put(port, new StringBuilder());
            got.put(port, all);
            framesGot.put(port, frames);
        }
        Random random = new Random(7);
        for (int i = 0; i < 300; i++) {  // messages cut into chunks of random size, the ports interleaved
            for (DevicePort port : sent.keySet()) {
                String message = port.portName() + "-" + i + "\r\n";
                sent.get(port).append(message);
                for (int at = 0, n; at < message.length(); at += n) {
                    n = Math.min(message.length() - at, 1 + random.nextInt(8));
                    port.write(message.substring(at, at + n).getBytes(US_ASCII));
                }
            }
        }
        for (DevicePort port : sent.keySet()) {
            String stream = sent.get(port).toString();
            List<String> expected = frames(kind, stream);
            if (kind.equals("blocks")) await(() -> got.get(port).length() >= stream.length(), port);
            else await(() -> framesGot.get(port).size() >= expected.size(), port);
            assertEquals(kind.equals("blocks") ? stream : expected,
                    kind.equals("blocks") ? got.get(port).toString() : framesGot.get(port));
            port.close();
        }
        assertEquals(Set.of("varnel-port-dispatcher"), threads);
        assertEquals(1, Thread.getAllStackTraces().keySet().stream()
                .filter(t -> t.getName().equals("varnel-port-dispatcher")).count());
        assertEquals(thrown.get(), logged.size(), "each exception logged once");
    }

    /** A listener that blocks in its first call until released, recording what reaches it. */
    static final class Gate implements DataListener {
        final CountDownLatch entered = new CountDownLatch(1), release = new CountDownLatch(1);
        final List<String> events = new CopyOnWriteArrayList<>();

        @Override public void onData(byte[] data) {
            events.add(new String(data, US_ASCII));
            entered.countDown();
            try {
                release.await();
            } catch (InterruptedException e) {
                throw new AssertionError(e);
            }
        }

        @Override public void onError(PortException error) {
            events.add(error.result().toString());
        }
    }

    @ParameterizedTest
    @CsvSource({"blocks, '0123456\r\n', 'after!!\r\n'", "messages, 0123456, after!!", "packets, 0123456, after!!"})
    void overflowReachesEachKindOnceAsAnErrorDroppingTheFrameInProgress(String kind, String first, String after)
            throws Exception {
        try (DevicePort port = open()) {
            Gate gate = new Gate();
            listen(port, kind, gate).write("0123456\r\n".getBytes(US_ASCII));  // packets: "\r\n" waits
            assertTrue(gate.entered.await(10, TimeUnit.SECONDS));
            overfill(port);
            gate.release.countDown();
            await(() -> gate.events.size() >= 2, "the overflow");
            port.write("after!!\r\n".getBytes(US_ASCII));
            await(() -> gate.events.size() >= 3, "data after the overflow");
            assertEquals(List.of(first, "BUFFER_OVERFLOW", after), gate.events);
        }
    }

    @ParameterizedTest
    @ValueSource(strings = {"blocks", "messages", "packets"})
    void closeReturnsWhileAListenerRunsAndNoCallFollowsIt(String kind) throws Exception {
        DevicePort port = open();
        Gate gate = new Gate();
        listen(port, kind, gate).write("0123456\r\n7654321\r\n".getBytes(US_ASCII));  // two frames in one block
        assertTrue(gate.entered.await(10, TimeUnit.SECONDS));
        port.write("ABCDEFG\r\n".getBytes(US_ASCII));  // and a block waiting
        CompletableFuture.runAsync(port::close).get(10, TimeUnit.SECONDS);  // never waits for the listener
        gate.release.countDown();
        try (DevicePort witness = open()) {  // two turns of the dispatcher later, the closed port was left alone
            BlockingQueue<byte[]> seen = new LinkedBlockingQueue<>();
            witness.addDataListener(seen::add);
            for (int i = 0; i < 2; i++) {
                witness.write(new byte[] {1});
                assertNotNull(seen.poll(10, TimeUnit.SECONDS));
            }
        }
        assertEquals(1, gate.events.size(), gate.events::toString);
        assertThrows(IllegalStateException.class, () -> port.addDataListener(data -> {}));
    }

    interface Reading {
        String read(DevicePort port, byte[] into) throws Exception;
    }

    // The time allowed outlasts the test's deadline, except where none comes: a reader nobody
    // wakes fails the test.
    static final Map<String, Reading> READERS = Map.of(
            "timed", (port, into) -> {
                int n = port.read(into, 2, 6, port.readTimeout());
                return n + ":" + new String(into, 2, n, US_ASCII);
            },
            "stream", (port, into) -> {
                int n = port.getInputStream().read(into, 2, 6);
                return n + ":" + new String(into, 2, n, US_ASCII) + " " + port.getInputStream().available();
            });

    @ParameterizedTest
    @CsvSource({"timed, data, 6:abcdef", "stream, data, 6:abcdef 4", "timed, cold, 6:abcdef", "timed, none, 0:",
        "stream, none, InterruptedIOException", "timed, close, IllegalStateException",
        "stream, close, IOException<IllegalStateException", "timed, overflow, PortException",
        "stream, overflow, IOException<PortException"})
    void aWaitingReadEndsWithTheFirstBytesOrTimeOrCloseOrOverflow(String reader, String event, String outcome)
            throws Exception {
        DevicePort port = open();
        port.setReadTimeout(Duration.ofMillis(event.equals("none") ? 300 : 60_000));
        if (event.equals("overflow")) overfill(port);
        // With no hot window the reader parks, and only the dispatcher's poll can wake it.
        DevicePort.setReceivePolling(DevicePort.DEFAULT_POLL_INTERVAL,
                event.equals("cold") ? Duration.ZERO : DevicePort.DEFAULT_HOT_WINDOW);
        CompletableFuture<String> result = CompletableFuture.supplyAsync(() -> {
            try {
                return READERS.get(reader).read(port, new byte[8]);
            } catch (Exception e) {
                String name = e.getClass().getSimpleName();
                return e.getCause() == null ? name : name + "<" + e.getCause().getClass().getSimpleName();
            }
        });
        if (!event.equals("none") && !event.equals("overflow")) {
            await(ReceiveTest::waiting, "the reader to wait");
            if (event.equals("close")) port.close();
            else port.write("abcdefghij".getBytes(US_ASCII));
        }
        assertEquals(outcome, result.get(10, TimeUnit.SECONDS));
        DevicePort.setReceivePolling(DevicePort.DEFAULT_POLL_INTERVAL, DevicePort.DEFAULT_HOT_WINDOW);
        if (outcome.startsWith("6:")) {  // the rest is still there, in order
            byte[] rest = new byte[4];
            port.readFully(rest, Duration.ofSeconds(5));
            assertEquals("ghij", new String(rest, US_ASCII));
        }
        port.close();
    }

    private static boolean waiting() {
        return Thread.getAllStackTraces().keySet().stream().anyMatch(t -> t.getState() == Thread.State.TIMED_WAITING
                && Arrays.stream(t.getStackTrace()).anyMatch(f -> f.getClassName().endsWith("PortWatch")));
    }

    @Test
    void powerListenersHearEachChangeInOrderUntilClose() throws Exception {
        Files.write(root.resolve("varnel_dcx/relayhost/vsim-scenario.txt"),
                "property KOVLAN-Q 1 4 1\npower KOVLAN-Q 1 2 after-reads 3\n".getBytes(US_ASCII));
        DevicePort.setInstallRoot(root.toString());
        DevicePort port = DevicePort.open("", "KOVLAN-Q", 1);
        List<PowerState> states = new CopyOnWriteArrayList<>();
        port.addPowerListener(state -> { throw new IllegalStateException("listener fault"); });
        port.addPowerListener(states::add);
        await(() -> states.size() >= 2, "two power states");
        port.close();
        assertEquals(List.of(PowerState.STATE_3, PowerState.STATE_4), states.subList(0, 2));
        assertThrows(IllegalStateException.class, () -> port.addPowerListener(states::add));
    }
}
