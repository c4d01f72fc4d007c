package com.varnel.bench;

import com.varnel.pos.comm.v4_0001.PortHandlerIO;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.LockSupport;

/**
 * The bridge's methods in a real JVM against the simulator, each beside a yardstick native in the
 * same round. Rounds run the pairs in a shuffled order; a pair's two sides run back to back in a
 * random order, and the ratio is taken within the round, so drift on a shared machine hits both.
 * Prints one markdown row per figure. Properties: varnel.sim.root, varnel.bench.baseline,
 * varnel.bench.label, varnel.bench.seconds (threaded rows), varnel.bench.rounds.
 */
public final class PortBench {
    private static final int RING = 128 * 1024;
    private static final Random RANDOM = new Random(42);

    /** A timed batch of calls of one side, after an untimed preparation; returns ns a call. */
    interface Side {
        double run();
    }

    record Pair(String name, String target, Side bridge, Side baseline) {}

    private static long handle;
    private static long serviceHandle;
    private static final int[] COUNT = {0};
    private static long checksum;

    public static void main(String[] args) throws Exception {
        String root = System.getProperty("varnel.sim.root");
        String label = System.getProperty("varnel.bench.label", "");
        double seconds = Double.parseDouble(System.getProperty("varnel.bench.seconds", "2"));
        int rounds = Integer.getInteger("varnel.bench.rounds", 15);
        byte[] terminated = Arrays.copyOf(root.getBytes(StandardCharsets.UTF_8), root.length() + 1);
        check(PortHandlerIO.SetDCXPath(terminated), "SetDCXPath");
        long[] holder = {0};
        check(PortHandlerIO.Open("", "BENCH1", 1, holder), "Open");
        handle = holder[0];
        check(Baseline.bind(root), "binding the simulator");
        serviceHandle = Baseline.latestServiceHandle();

        List<Pair> pairs = pairs();
        for (int warm = 0; warm < 3; ++warm) {
            for (Pair p : pairs) {
                p.bridge.run();
                p.baseline.run();
            }
        }
        int n = pairs.size();
        double[][] bridgeNs = new double[n][rounds];
        double[][] baseNs = new double[n][rounds];
        double[][] ratio = new double[n][rounds];
        List<Integer> order = new ArrayList<>();
        for (int i = 0; i < n; ++i) order.add(i);
        for (int r = 0; r < rounds; ++r) {
            Collections.shuffle(order, RANDOM);
            for (int i : order) {
                Pair p = pairs.get(i);
                if (RANDOM.nextBoolean()) {
                    bridgeNs[i][r] = p.bridge.run();
                    baseNs[i][r] = p.baseline.run();
                } else {
                    baseNs[i][r] = p.baseline.run();
                    bridgeNs[i][r] = p.bridge.run();
                }
                ratio[i][r] = bridgeNs[i][r] / baseNs[i][r];
            }
        }
        for (int i = 0; i < n; ++i) {
            Pair p = pairs.get(i);
            row(label, p.name, String.format("%.0f ns", median(bridgeNs[i])),
                String.format("%.0f ns", median(baseNs[i])), String.format("%.2fx", median(ratio[i])),
                p.target);
        }
        threads(label, seconds);
        if (checksum == 42) System.out.print("");  // keeps the reads' results alive
        PortHandlerIO.Close(handle);
    }

    private static List<Pair> pairs() {
        List<Pair> pairs = new ArrayList<>();
        for (int size : new int[] {16, 4096, RING}) {
            byte[] array = new byte[size];
            pairs.add(new Pair("Read, ring empty, " + bytes(size) + " array vs empty native",
                    "<= 2x",
                    batch(20000, () -> PortHandlerIO.Read(handle, array, size, COUNT)),
                    batch(20000, () -> Baseline.empty(handle, array, size, COUNT))));
        }
        int[][] waiting = {{16, RING}, {4096, RING}, {4096, 4096}};
        for (int[] w : waiting) {
            int n = w[0];
            byte[] array = new byte[w[1]];
            // The ring keeps one slot empty: at most 31 blocks of 4 KiB.
            int blocks = Math.min(2048, (RING - 1) / n);
            pairs.add(new Pair("Read, " + bytes(n) + " waiting, " + bytes(w[1]) + " array vs copy native",
                    "<= 1.5x", waitingReads(n, blocks, array), batches(blocks, 2048,
                            () -> Baseline.copy(handle, array, n, COUNT))));
        }
        for (int size : new int[] {16, 4096}) {
            byte[] data = new byte[size];
            pairs.add(new Pair("Write " + bytes(size) + " (loopback off) vs pin + service send",
                    "<= 1.1x", () -> {
                        Baseline.loopback(false);
                        return batch(5000, () -> PortHandlerIO.Write(handle, data, size, 0, COUNT)).run();
                    }, () -> {
                        Baseline.loopback(false);
                        return batch(5000, () -> Baseline.pinSend(serviceHandle, data, size, 0, COUNT)).run();
                    }));
        }
        long[] value = {0};
        pairs.add(new Pair("GetProperty vs service call + region write", "<= 1.1x",
                batch(5000, () -> PortHandlerIO.GetProperty(handle, 6, value)),
                batch(5000, () -> Baseline.getProperty(serviceHandle, 6, value))));
        return pairs;
    }

    interface Call {
        int call();
    }

    private static Side batch(int calls, Call call) {
        return () -> {
            long sum = 0;
            long start = System.nanoTime();
            for (int i = 0; i < calls; ++i) sum += call.call();
            long elapsed = System.nanoTime() - start;
            if (sum != 0) throw new IllegalStateException("a call failed");
            return (double) elapsed / calls;
        };
    }

    /** Batches of `size` calls until `total` calls, timing only the calls. */
    private static Side batches(int size, int total, Call call) {
        return () -> {
            long elapsed = 0;
            int done = 0;
            while (done < total) {
                long start = System.nanoTime();
                for (int i = 0; i < size; ++i) call.call();
                elapsed += System.nanoTime() - start;
                done += size;
            }
            return (double) elapsed / done;
        };
    }

    /** Fills the ring through the loopback with `blocks` blocks of n bytes, then times their Reads. */
    private static Side waitingReads(int n, int blocks, byte[] array) {
        byte[] block = new byte[n];
        int[] sent = {0};
        return () -> {
            long elapsed = 0;
            int done = 0;
            while (done < 2048) {
                Baseline.loopback(true);
                for (int i = 0; i < blocks; ++i) check(PortHandlerIO.Write(handle, block, n, 0, sent), "Write");
                if (!Baseline.waitIdle(5000)) throw new IllegalStateException("loopback stalled");
                long got = 0;
                long start = System.nanoTime();
                for (int i = 0; i < blocks; ++i) {
                    PortHandlerIO.Read(handle, array, n, COUNT);
                    got += COUNT[0];
                }
                elapsed += System.nanoTime() - start;
                if (got != (long) n * blocks) throw new IllegalStateException("read " + got + " bytes");
                done += blocks;
            }
            return (double) elapsed / done;
        };
    }

    /**
     * Readers of one port that time every call, while 16 B arrive every millisecond. A yardstick
     * reader calls the empty native instead: what it suffers is the machine's (preemption,
     * safepoints), not the bridge's.
     */
    private static final class Reader extends Thread {
        final AtomicBoolean stop;
        final long pauseNanos;
        final boolean yardstick;
        long calls;
        long worst;
        long slow;  // calls >= 1 ms
        long[] latencies = new long[1 << 16];
        int kept;

        Reader(AtomicBoolean stop, long pauseNanos, boolean yardstick) {
            this.stop = stop;
            this.pauseNanos = pauseNanos;
            this.yardstick = yardstick;
        }

        @Override
        public void run() {
            byte[] array = new byte[4096];
            int[] count = {0};
            while (!stop.get()) {
                if (pauseNanos > 0) LockSupport.parkNanos(pauseNanos);
                long start = System.nanoTime();
                if (yardstick) Baseline.empty(handle, array, array.length, count);
                else PortHandlerIO.Read(handle, array, array.length, count);
                long took = System.nanoTime() - start;
                ++calls;
                worst = Math.max(worst, took);
                if (took >= 1_000_000) ++slow;
                if (pauseNanos > 0 && kept < latencies.length) latencies[kept++] = took;
            }
        }
    }

    private static Reader[] runReaders(double seconds, boolean yardstick, long... pauses)
            throws InterruptedException {
        AtomicBoolean stop = new AtomicBoolean();
        Reader[] readers = new Reader[pauses.length];
        for (int i = 0; i < pauses.length; ++i) (readers[i] = new Reader(stop, pauses[i], yardstick)).start();
        byte[] block = new byte[16];
        int[] sent = {0};
        long end = System.nanoTime() + (long) (seconds * 1e9);
        while (System.nanoTime() < end) {
            PortHandlerIO.Write(handle, block, block.length, 0, sent);
            LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(1));
        }
        stop.set(true);
        for (Reader reader : readers) reader.join();
        return readers;
    }

    private static void threads(String label, double seconds) throws InterruptedException {
        Baseline.loopback(true);
        Reader one = runReaders(seconds, false, 0)[0];
        Reader[] two = runReaders(seconds, false, 0, 0);
        Reader[] twoYardsticks = runReaders(seconds, true, 0, 0);
        Baseline.waitIdle(1000);
        PortHandlerIO.Clear(handle);  // what the yardsticks left unread, and its overflow
        double oneRate = one.calls / seconds;
        double twoRate = (two[0].calls + two[1].calls) / seconds;
        long worst = Math.max(two[0].worst, two[1].worst);
        long slow = two[0].slow + two[1].slow;
        String run = String.format("%.0f s", seconds);
        row(label, "Two threads Reading one port, calls/s together vs one thread",
                String.format("%.2f M/s", twoRate / 1e6), String.format("%.2f M/s", oneRate / 1e6),
                String.format("%.2fx", twoRate / oneRate), ">= 0.9x");
        row(label, "Two threads: worst call; calls >= 1 ms in " + run + " (yardstick: empty native)",
                String.format("%.0f us; %d", worst / 1e3, slow),
                String.format("%.0f us; %d", Math.max(twoYardsticks[0].worst, twoYardsticks[1].worst) / 1e3,
                        twoYardsticks[0].slow + twoYardsticks[1].slow),
                "", "0 calls >= 1 ms");
        Reader[] mixed = runReaders(seconds, false, TimeUnit.MILLISECONDS.toNanos(1), 0);
        long[] kept = Arrays.copyOf(mixed[0].latencies, mixed[0].kept);
        Arrays.sort(kept);
        row(label, "Reader every 1 ms beside a tight poller: p99; worst (" + kept.length + " reads)",
                String.format("%.1f us; %.0f us", kept[(int) (kept.length * 0.99)] / 1e3,
                        kept[kept.length - 1] / 1e3),
                "", "", "p99 <= 50 us");
        checksum += one.calls;
    }

    private static String bytes(int n) {
        return n >= 1024 ? n / 1024 + " KiB" : n + " B";
    }

    private static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        int m = sorted.length / 2;
        return sorted.length % 2 == 1 ? sorted[m] : (sorted[m - 1] + sorted[m]) / 2;
    }

    private static void row(String label, String name, String bridge, String baseline, String ratio,
            String target) {
        System.out.printf("| %s | %s | %s | %s | %s | %s |%n", label, name, bridge, baseline, ratio, target);
    }

    private static void check(int result, String what) {
        if (result != 0) throw new IllegalStateException(what + " returned " + result);
    }
}
