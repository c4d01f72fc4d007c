package com.varnel.bench;

import com.sun.management.OperatingSystemMXBean;
import com.varnel.pos.comm.v4_0001.PortHandlerIO;
import com.varnel.pos.comm.v4_0001.port.DevicePort;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.Semaphore;
import java.util.concurrent.locks.LockSupport;

/**
 * How soon received data reaches a data listener and a waiting read, beside a thread polling Read
 * in a tight loop (the floor), in the same shuffled rounds against the simulator: the data is
 * injected as the service would deliver it, and each side stamps the moment it sees it, timed
 * from the simulator's call of the bridge's receive callback. Then the
 * CPU time of the whole JVM while ports are watched and nothing arrives. Prints markdown rows.
 * Properties: varnel.sim.root, varnel.bench.baseline, varnel.bench.label, varnel.bench.samples,
 * varnel.bench.idleSeconds, varnel.bench.sweep (intervals in microseconds, comma-separated),
 * varnel.bench.requestOnly (only the request/response rows).
 */
public final class ReceiveBench {
    private static final byte[] REPLY = "0123456789ABCDEF".getBytes(StandardCharsets.US_ASCII);
    private static final Random RANDOM = new Random(42);
    private static String label;

    /** One way of taking received data, on a port of its own. */
    abstract static class Side {
        final String name;
        long service;  // the simulator's handle of the connection
        volatile long seen;

        Side(String name) {
            this.name = name;
        }

        /** Gets ready to see the next reply; a request first, when asked. */
        abstract void arm(boolean request);

        /**
         * Injects a reply and returns how long it took to be seen from the moment the simulator's
         * delivery thread handed it to the bridge's callback, in ns: the simulator's own wake-up
         * after the injection is not the receive path's.
         */
        long sample() {
            seen = 0;
            long start = System.nanoTime();
            Baseline.inject(service, REPLY);
            long deadline = start + 2_000_000_000L;
            while (seen == 0) {
                if (System.nanoTime() > deadline) throw new IllegalStateException(name + ": reply not seen");
                LockSupport.parkNanos(50_000);  // the sides stamp the time themselves
            }
            long delivered = Baseline.lastCallbackTime();  // the same clock as nanoTime
            if (delivered < start || delivered > seen) {
                throw new IllegalStateException(name + ": the reply's callback is not between injection and sight");
            }
            return seen - delivered;
        }
    }

    static final class ListenerSide extends Side {
        final DevicePort port;

        ListenerSide() {
            super("listener");
            port = open("RXL");
            service = Baseline.latestServiceHandle();
            port.addDataListener(data -> seen = System.nanoTime());
        }

        @Override
        void arm(boolean request) {
            if (request) port.write(REPLY);
        }
    }

    static final class ReaderSide extends Side {
        final DevicePort port;
        final Semaphore go = new Semaphore(0);

        ReaderSide() {
            super("waiting read");
            port = open("RXR");
            service = Baseline.latestServiceHandle();
            Thread reader = new Thread(() -> {
                byte[] into = new byte[64];
                try {
                    while (true) {
                        go.acquire();
                        if (port.read(into, 0, into.length, Duration.ofSeconds(5)) > 0) seen = System.nanoTime();
                    }
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }, "waiting-reader");
            reader.setDaemon(true);
            reader.start();
        }

        @Override
        void arm(boolean request) {
            if (request) port.write(REPLY);
            go.release();
        }
    }

    /** The floor: a thread calling Read in a tight loop from arm until it sees the reply. */
    static final class FloorSide extends Side {
        final long handle;
        final Semaphore go = new Semaphore(0);

        FloorSide() {
            super("tight Read loop");
            long[] holder = {0};
            check(PortHandlerIO.Open("", "RXF", 1, holder), "Open");
            handle = holder[0];
            service = Baseline.latestServiceHandle();
            Thread poller = new Thread(() -> {
                byte[] into = new byte[4096];
                int[] count = {0};
                while (true) {
                    go.acquireUninterruptibly();
                    do {
                        PortHandlerIO.Read(handle, into, into.length, count);
                    } while (count[0] == 0);
                    seen = System.nanoTime();
                }
            }, "tight-poller");
            poller.setDaemon(true);
            poller.start();
        }

        @Override
        void arm(boolean request) {
            if (request) PortHandlerIO.Write(handle, REPLY, REPLY.length, 0, new int[1]);
            go.release();
        }
    }

    public static void main(String[] args) throws Exception {
        String root = System.getProperty("varnel.sim.root");
        label = System.getProperty("varnel.bench.label", "after");
        int samples = Integer.getInteger("varnel.bench.samples", 1000);
        double idleSeconds = Double.parseDouble(System.getProperty("varnel.bench.idleSeconds", "10"));
        DevicePort.setInstallRoot(root);
        DevicePort first = open("RXIDLE0");
        check(Baseline.bind(root), "binding the simulator");
        Baseline.loopback(false);  // replies are injected; requests must not echo

        String sweep = System.getProperty("varnel.bench.sweep", "");
        if (!sweep.isEmpty()) {
            sweep(first, sweep, idleSeconds);
            return;
        }
        boolean all = !Boolean.getBoolean("varnel.bench.requestOnly");
        if (all) idle(first, idleSeconds);
        Side[] sides = {new ListenerSide(), new ReaderSide(), new FloorSide()};
        latencies(sides, samples, true, 200_000, 2_000_000, "request/response, reply 0.2-2 ms after the request");
        if (!all) return;
        latencies(sides, Math.max(30, samples / 5), false, 30_000_000, 30_000_000, "unsolicited, after 30 ms of silence");
        latencies(sides, 5, false, 1_000_000_000, 1_000_000_000, "unsolicited, after 1 s of silence");
    }

    /**
     * Samples the sides in blocks, in shuffled order, each block after the last one's hot window
     * has passed, so that no side spins while another is measured (on 2 cores a second spinner
     * starves the simulator's delivery thread); each sample waits a random pause after arming.
     */
    private static void latencies(Side[] sides, int samples, boolean request, long minPause, long maxPause,
            String what) {
        long[][] ns = new long[sides.length][samples];
        List<Integer> order = new ArrayList<>();
        for (int i = 0; i < sides.length; i++) order.add(i);
        for (int warm = 0; warm < (request ? 200 : 0); warm++) {
            for (Side side : sides) {
                side.arm(true);
                LockSupport.parkNanos(100_000);
                side.sample();
            }
        }
        int block = request ? 50 : 1;
        for (int s = 0; s < samples; s += block) {
            java.util.Collections.shuffle(order, RANDOM);
            for (int i : order) {
                LockSupport.parkNanos(2 * DevicePort.DEFAULT_HOT_WINDOW.toNanos());
                for (int k = s; k < Math.min(samples, s + block); k++) {
                    sides[i].arm(request);
                    LockSupport.parkNanos(minPause + (long) (RANDOM.nextDouble() * (maxPause - minPause)));
                    ns[i][k] = sides[i].sample();
                }
            }
        }
        long[] floor = sorted(ns[sides.length - 1]);
        for (int i = 0; i < sides.length; i++) {
            long[] mine = sorted(ns[i]);
            String p99 = samples >= 100 ? "p99" : "max";
            long top = samples >= 100 ? mine[(int) (samples * 0.99)] : mine[samples - 1];
            long floorTop = samples >= 100 ? floor[(int) (samples * 0.99)] : floor[samples - 1];
            row("Receive latency, " + what + ": " + sides[i].name + " vs tight Read loop, p50; " + p99
                    + " (" + samples + " samples)",
                    us(mine[samples / 2]) + "; " + us(top), us(floor[samples / 2]) + "; " + us(floorTop),
                    String.format("%.2fx", (double) mine[samples / 2] / floor[samples / 2]),
                    request ? "p50 <= 2x, p99 < 100 us" : "p99 < 2 ms");
        }
    }

    /**
     * JVM CPU over the run with 1, 16 and 64 ports watched and nothing arriving, beside the same
     * JVM with nothing watched but a bare thread parking for the poll interval in a loop: the
     * cost of the wake-ups alone, which no poller can go below.
     */
    private static void idle(DevicePort first, double seconds) {
        List<DevicePort> ports = new ArrayList<>();
        ports.add(first);
        while (ports.size() < 64) ports.add(open("RXIDLE" + ports.size()));
        double nothing = cpuShare(seconds);
        boolean[] stop = {false};
        Thread parker = new Thread(() -> {
            while (!stop[0]) LockSupport.parkNanos(DevicePort.DEFAULT_POLL_INTERVAL.toNanos());
        });
        parker.start();
        double bare = cpuShare(seconds);
        stop[0] = true;
        row(String.format("Idle JVM CPU over %.0f s: nothing watched", seconds), String.format("%.2f%% of a core", nothing * 100), "", "", "");
        int watched = 0;
        for (int target : new int[] {1, 16, 64}) {
            while (watched < target) ports.get(watched++).addDataListener(data -> {});
            double share = cpuShare(seconds);
            row(String.format("Idle JVM CPU over %.0f s: %d ports with a listener vs a bare %d ms park loop", seconds,
                    target, DevicePort.DEFAULT_POLL_INTERVAL.toMillis()),
                    String.format("%.2f%% of a core", share * 100), String.format("%.2f%%", bare * 100),
                    String.format("%.2fx", share / bare), "< 1% with 64 ports");
        }
        for (DevicePort port : ports) port.close();
    }

    private static double cpuShare(double seconds) {
        LockSupport.parkNanos(200_000_000L);  // past the hot window of the last change
        OperatingSystemMXBean os = (OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        long cpu = os.getProcessCpuTime();
        long start = System.nanoTime();
        LockSupport.parkNanos((long) (seconds * 1e9));
        return (double) (os.getProcessCpuTime() - cpu) / (System.nanoTime() - start);
    }

    /** For choosing the interval: idle cost with 64 ports and unsolicited latency, per interval. */
    private static void sweep(DevicePort first, String intervals, double seconds) {
        List<DevicePort> ports = new ArrayList<>();
        ports.add(first);
        while (ports.size() < 64) ports.add(open("RXSW" + ports.size()));
        ListenerSide listener = new ListenerSide();
        for (DevicePort port : ports) port.addDataListener(data -> {});
        for (String micros : intervals.split(",")) {
            DevicePort.setReceivePolling(Duration.ofNanos(Long.parseLong(micros.trim()) * 1000), DevicePort.DEFAULT_HOT_WINDOW);
            double share = cpuShare(seconds);
            long[] ns = new long[200];
            for (int s = 0; s < ns.length; s++) {
                LockSupport.parkNanos(30_000_000L);
                ns[s] = listener.sample();
            }
            Arrays.sort(ns);
            row("Interval " + micros + " us: idle CPU with 65 ports; unsolicited p50; p99 (200 samples)",
                    String.format("%.2f%%; %s; %s", share * 100, us(ns[100]), us(ns[198])), "", "", "");
        }
        DevicePort.setReceivePolling(DevicePort.DEFAULT_POLL_INTERVAL, DevicePort.DEFAULT_HOT_WINDOW);
        double idle = cpuShare(seconds);
        for (long millis : new long[] {2, 5, 10, 20}) {  // what a hot window costs: CPU per write
            DevicePort.setReceivePolling(DevicePort.DEFAULT_POLL_INTERVAL, Duration.ofMillis(millis));
            OperatingSystemMXBean os = (OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
            long cpu = os.getProcessCpuTime();
            long start = System.nanoTime();
            for (int i = 0; i < 40; i++) {
                listener.port.write(REPLY);
                LockSupport.parkNanos(50_000_000L);
            }
            double extra = os.getProcessCpuTime() - cpu - idle * (System.nanoTime() - start);
            row("Hot window " + millis + " ms: CPU per write, idle cost taken off (40 writes)",
                    us((long) (extra / 40)), "", "", "");
        }
    }

    private static DevicePort open(String name) {
        return DevicePort.open("", name, 1);
    }

    private static long[] sorted(long[] values) {
        long[] copy = values.clone();
        Arrays.sort(copy);
        return copy;
    }

    private static String us(long ns) {
        return String.format("%.1f us", ns / 1e3);
    }

    private static void row(String name, String ours, String baseline, String ratio, String target) {
        System.out.printf("| %s | %s | %s | %s | %s | %s |%n", label, name, ours, baseline, ratio, target);
    }

    private static void check(int result, String what) {
        if (result != 0) throw new IllegalStateException(what + " returned " + result);
    }
}
