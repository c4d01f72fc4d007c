package com.varnel.pos.comm.v4_0001.console;

import com.varnel.pos.comm.v4_0001.port.DataListener;
import com.varnel.pos.comm.v4_0001.port.DevicePort;
import com.varnel.pos.comm.v4_0001.port.PortException;
import com.varnel.pos.comm.v4_0001.port.PowerState;
import com.varnel.pos.comm.v4_0001.port.ResultCode;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.time.LocalTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.concurrent.locks.LockSupport;

/**
 * The port console: {@code java -jar varnel-porthandler.jar COMMAND PORT [options]} opens a port
 * through the native library, does one thing with it and closes it, printing each step with its
 * result.
 *
 * <p>Exit status: 0 on success; the absolute value of the bridge result code of the first step
 * that failed (1 to 100, see {@link ResultCode}), setting the install root with {@code --root}
 * included; {@value #EXIT_USAGE} for a command line it does not understand, an empty one
 * included; {@value #EXIT_MISMATCH} when echoed bytes differ from those sent or do not come
 * back in time; {@value #EXIT_NO_LIBRARY} when the native library cannot be loaded.
 */
public final class PortConsole {
    /** Exit status for a command line the console does not understand. */
    public static final int EXIT_USAGE = 64;
    /** Exit status for echoed bytes that differ from those sent or do not come back in time. */
    public static final int EXIT_MISMATCH = 65;
    /** Exit status when the native library cannot be loaded. */
    public static final int EXIT_NO_LIBRARY = 69;

    private static final String COMMON = "Options of every command:\n"
            + "  --root DIR   install root of the port service (<DIR>/varnel_dcx/relayhost/)\n"
            + "  --url URL    service URL (default: the local service)\n"
            + "  --type N     device type to open the port as (default 1)\n";
    private static final Map<String, String> HELP = pairs(
            "probe", "probe PORT [--property ID]... [--capability ID]...\n"
                    + "  Opens the port, reads the properties and capabilities named, polls power, closes.\n",
            "send", "send PORT TEXT | send PORT --hex HEX\n  Sends the bytes of TEXT (UTF-8) or of HEX.\n",
            "listen", "listen PORT [--seconds N] [--send TEXT | --hex --send HEX]\n"
                    + "  Optionally sends first, then prints a hex dump of what arrives, for N seconds\n"
                    + "  or until interrupted.\n",
            "echo", "echo PORT [--count N] [--size BYTES] [--listener]\n"
                    + "  Sends N blocks (default 1000 of 64 bytes) one at a time and waits for each to\n"
                    + "  come back (a loopback port): throughput and round-trip latency. The echo is\n"
                    + "  read with readFully, or with --listener taken by a data listener.\n",
            "power", "power PORT [--seconds N]\n"
                    + "  Polls the power state every 100 ms and prints each change, for N seconds or\n"
                    + "  until interrupted.\n",
            "custom", "custom PORT get KEY [number|string|binary]\n"
                    + "custom PORT set KEY [number|string|binary] VALUE\n"
                    + "  Reads or writes a custom value of the port (default kind: string; binary in hex).\n",
            "scenario", "scenario check FILE [--root DIR]\n"
                    + "  Reports the first line of a simulator device script that does not parse (needs\n"
                    + "  the testkit jar beside this one; DIR: the simulator's install root). Exit status 65\n"
                    + "  when it does not parse.\n");

    private static Map<String, String> pairs(String... keysAndValues) {
        Map<String, String> map = new HashMap<>();
        for (int i = 0; i < keysAndValues.length; i += 2) map.put(keysAndValues[i], keysAndValues[i + 1]);
        return Collections.unmodifiableMap(map);
    }

    private final PrintStream out;
    private final PrintStream err;
    private final List<String> positional = new ArrayList<>();
    private final List<Ask> asks = new ArrayList<>();  // probe's --property and --capability, in order
    private String root;
    private String url = "";
    private int type = 1;
    private double seconds = -1;
    private int count = 1000;
    private int size = 64;
    private boolean hex;
    private boolean listener;
    private String toSend;
    private boolean help;
    private boolean version;

    private PortConsole(PrintStream out, PrintStream err) {
        this.out = out;
        this.err = err;
    }

    /**
     * Runs the console and exits with its status.
     *
     * @param args the command line
     */
    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    /**
     * Runs one console command. Not for concurrent use with other commands that set another
     * install root: the root is process-wide.
     *
     * @param args the command line, without the program name
     * @param out where results go
     * @param err where usage errors go
     * @return the exit status
     */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        PortConsole console = new PortConsole(out, err);
        try {
            return console.dispatch(args);
        } catch (IllegalArgumentException e) {
            err.println("error: " + e.getMessage() + " (try --help)");
            return EXIT_USAGE;
        } catch (LinkageError e) {
            err.println("cannot load the native library: " + e);
            return EXIT_NO_LIBRARY;
        }
    }

    private int dispatch(String[] args) {
        parse(args);  // options may come before the command as well as after it
        if (version) {
            out.println("varnel-porthandler " + version());
            return 0;
        }
        String command = positional.isEmpty() ? null : positional.remove(0);
        if (command == null || command.equals("help")) {
            out.print("Usage: java -jar varnel-porthandler.jar COMMAND PORT [options]\n\nCommands:\n");
            for (String name : Arrays.asList("probe", "send", "listen", "echo", "power", "custom", "scenario")) {
                for (String line : HELP.get(name).split("\n")) out.println("  " + line);
            }
            out.print("\n" + COMMON + "  --version    prints the version\n"
                    + "\nCOMMAND --help describes one command. Exit status: 0, or the absolute\n"
                    + "value of the failing bridge result code; 64 usage, 65 echo mismatch, 69 no library.\n");
            return command == null && !help ? EXIT_USAGE : 0;  // no command: nothing asked for
        }
        if (!HELP.containsKey(command)) throw new IllegalArgumentException("unknown command " + command);
        if (command.equals("scenario")) return ScenarioCommand.run(args, out, err);
        if (help) {
            out.print("Usage: " + HELP.get(command) + COMMON);
            return 0;
        }
        if (positional.isEmpty()) throw new IllegalArgumentException(command + " needs a PORT");
        if (root != null) {
            try {
                DevicePort.setInstallRoot(root);
            } catch (PortException e) {
                return failed(e);
            }
        }
        String port = positional.get(0);
        List<String> rest = positional.subList(1, positional.size());
        if (command.equals("probe")) return probe(port, rest);
        DevicePort device;
        try {
            device = DevicePort.open(url, port, type);
        } catch (PortException e) {
            return failed(e);
        }
        try (DevicePort opened = device) {
            return run(command, opened, rest);
        } catch (PortException e) {
            return failed(e);
        }
    }

    private int run(String command, DevicePort device, List<String> rest) {
        switch (command) {
            case "send": return send(device, rest);
            case "listen": return listen(device, rest);
            case "echo": return echo(device, rest);
            case "power": return power(device, rest);
            default: return custom(device, rest);
        }
    }

    private void parse(String[] args) {
        for (int i = 0; i < args.length; i++) {
            String a = args[i];
            if (a.equals("-h")) a = "--help";
            if (!a.startsWith("--")) {
                positional.add(a);
                continue;
            }
            if (a.equals("--help")) {
                help = true;
                continue;
            }
            if (a.equals("--version")) {
                version = true;
                continue;
            }
            if (a.equals("--hex") || a.equals("--listener")) {
                hex |= a.equals("--hex");
                listener |= a.equals("--listener");
                continue;
            }
            if (i + 1 == args.length) throw new IllegalArgumentException(a + " needs a value");
            String v = args[++i];
            switch (a) {
                case "--root": root = v; break;
                case "--url": url = v; break;
                case "--type": type = Integer.decode(v); break;
                case "--seconds": seconds = Double.parseDouble(v); break;
                case "--count": count = Integer.parseInt(v); break;
                case "--size": size = Integer.parseInt(v); break;
                case "--send": toSend = v; break;
                case "--property": asks.add(new Ask(true, Integer.decode(v))); break;
                case "--capability": asks.add(new Ask(false, Integer.decode(v))); break;
                default: throw new IllegalArgumentException("unknown option " + a);
            }
        }
    }

    /** The jar's Implementation-Version; "unknown" for classes run from outside the jar. */
    private static String version() {
        String value = PortConsole.class.getPackage().getImplementationVersion();
        return value == null ? "unknown" : value;
    }

    private static void expect(List<String> rest, int min, int max, String what) {
        if (rest.size() < min || rest.size() > max) throw new IllegalArgumentException("expected " + what);
    }

    private int failed(PortException e) {
        step(e.operation(), e.result(), "");
        return e.result().exitStatus();
    }

    private void step(String what, ResultCode result, String detail) {
        out.printf("%-32s -> %s (%d)%s%n", what, result, result.code(), detail.isEmpty() ? "" : "  " + detail);
    }

    private int probe(String port, List<String> rest) {
        expect(rest, 0, 0, "no argument after PORT");
        DevicePort device;
        try {
            device = DevicePort.open(url, port, type);
        } catch (PortException e) {
            return failed(e);
        }
        step("Open " + port + " type " + type, ResultCode.SUCCESS, "");
        ResultCode first = ResultCode.SUCCESS;
        for (Ask ask : asks) {
            first = worst(first, ask.property ? probeStep("GetProperty " + ask.id, () -> device.getProperty(ask.id))
                    : probeStep("GetCapability " + ask.id, () -> device.getCapability(ask.id)));
        }
        PowerState power = device.powerState();
        step("checkOstrelPowerStatus", ResultCode.SUCCESS, "power " + power + " (" + power.value() + ")");
        try {
            device.close();
            step("Close", ResultCode.SUCCESS, "");
        } catch (PortException e) {
            first = worst(first, e.result());
            failed(e);
        }
        return first.exitStatus();
    }

    private static final class Ask {
        final boolean property;
        final int id;

        Ask(boolean property, int id) {
            this.property = property;
            this.id = id;
        }
    }

    private interface LongCall {
        long call();
    }

    private ResultCode probeStep(String what, LongCall call) {
        try {
            long value = call.call();
            step(what, ResultCode.SUCCESS, "= " + value + " (0x" + Long.toHexString(value) + ")");
            return ResultCode.SUCCESS;
        } catch (PortException e) {
            step(what, e.result(), "");
            return e.result();
        }
    }

    private static ResultCode worst(ResultCode first, ResultCode next) {
        return first == ResultCode.SUCCESS ? next : first;
    }

    private byte[] bytes(String value) {
        if (!hex) return value.getBytes(StandardCharsets.UTF_8);
        return Hex.parse(value.replaceAll("[\\s:]", ""));
    }

    private int send(DevicePort device, List<String> rest) {
        expect(rest, 1, 1, "the bytes to send");
        byte[] data = bytes(rest.get(0));
        int sent = device.write(data);
        step("Write " + data.length + " bytes", ResultCode.SUCCESS, sent + " sent");
        return 0;
    }

    private int listen(DevicePort device, List<String> rest) {
        expect(rest, 0, 0, "no argument after PORT");
        if (toSend != null) send(device, Arrays.asList(toSend));
        long end = seconds < 0 ? Long.MAX_VALUE : System.nanoTime() + (long) (seconds * 1e9);
        // Ctrl-C: the hook stops the loop and waits (briefly) for the summary and the close.
        Thread listener = Thread.currentThread();
        CountDownLatch closed = new CountDownLatch(1);
        Thread hook = new Thread(() -> {
            listener.interrupt();
            try {
                closed.await(2, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "listen-interrupted");
        Runtime.getRuntime().addShutdownHook(hook);
        out.println(TIME.format(LocalTime.now()) + "  listening on " + device.portName());
        byte[] chunk = new byte[4096];
        long total = 0;
        try {
            total = dump(device, chunk, end);
        } finally {
            out.println(TIME.format(LocalTime.now()) + "  " + total + " bytes received");
            device.close();
            step("Close", ResultCode.SUCCESS, "");
            closed.countDown();
            try {
                Runtime.getRuntime().removeShutdownHook(hook);
            } catch (IllegalStateException e) {
                // shutting down: the hook is running
            }
        }
        return 0;
    }

    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("HH:mm:ss.SSS");

    /** Prints what arrives, each block under its arrival time, until the end or an interrupt. */
    private long dump(DevicePort device, byte[] chunk, long end) {
        long total = 0;
        while (System.nanoTime() - end < 0 && !Thread.currentThread().isInterrupted()) {
            int n = device.read(chunk);
            if (n == 0) {
                LockSupport.parkNanos(1_000_000);
                continue;
            }
            out.println(TIME.format(LocalTime.now()) + "  " + n + " bytes");
            for (int line = 0; line < n; line += 16) {
                int length = Math.min(16, n - line);
                StringBuilder text = new StringBuilder();
                for (int i = line; i < line + length; i++) {
                    text.append(chunk[i] >= 0x20 && chunk[i] < 0x7F ? (char) chunk[i] : '.');
                }
                out.printf("%08x  %-47s  |%s|%n", total + line,
                        Hex.format(chunk, line, length, " "), text);
            }
            total += n;
        }
        return total;
    }

    private int echo(DevicePort device, List<String> rest) {
        expect(rest, 0, 0, "no argument after PORT");
        if (count < 1 || size < 1) throw new IllegalArgumentException("--count and --size must be positive");
        byte[] sent = new byte[size];
        byte[] back = new byte[size];
        long[] nanos = new long[count];
        long start = System.nanoTime();
        long progress = start + 1_000_000_000L;
        device.clear();
        Echoes echoes = listener ? new Echoes(back) : null;
        if (listener) device.addDataListener(echoes);
        for (int i = 0; i < count; i++) {
            for (int b = 0; b < size; b++) sent[b] = (byte) (i * 31 + b);
            long t = System.nanoTime();
            if (listener) echoes.expect();
            device.write(sent);
            try {
                if (listener) echoes.await(Duration.ofSeconds(5));
                else device.readFully(back, Duration.ofSeconds(5));
            } catch (TimeoutException e) {
                out.println("echo " + (i + 1) + ": " + e.getMessage());
                return EXIT_MISMATCH;
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                out.println("interrupted after " + i + " round trips");
                return EXIT_MISMATCH;
            }
            nanos[i] = System.nanoTime() - t;
            if (!Arrays.equals(sent, back)) {
                out.println("echo " + (i + 1) + ": the bytes that came back differ from those sent");
                return EXIT_MISMATCH;
            }
            if (nanos[i] + t - progress > 0) {
                out.printf("  %d/%d round trips%n", i + 1, count);
                progress += 1_000_000_000L;
            }
        }
        double elapsed = (System.nanoTime() - start) / 1e9;
        Arrays.sort(nanos);
        out.printf(Locale.ROOT, "echo %s: %d x %d bytes in %.3f s, %.2f MB/s each way, %.0f round trips/s%n",
                device.portName(), count, size, elapsed, (double) count * size / elapsed / 1e6, count / elapsed);
        out.printf(Locale.ROOT, "round trip: min %.1f us, median %.1f us, p99 %.1f us, max %.1f us%n",
                nanos[0] / 1e3, nanos[count / 2] / 1e3, nanos[(int) (count * 0.99)] / 1e3, nanos[count - 1] / 1e3);
        return 0;
    }

    /** Gathers one echo at a time from a data listener, and wakes the thread waiting for it. */
    private static final class Echoes implements DataListener {
        private final byte[] back;
        private volatile int got;  // written by the dispatcher thread, read by the waiting one
        private volatile Thread waiter;

        Echoes(byte[] back) {
            this.back = back;
        }

        void expect() {
            got = 0;
            waiter = Thread.currentThread();
        }

        @Override
        public void onData(byte[] data) {
            int n = Math.min(data.length, back.length - got);  // more would be a mismatch anyway
            System.arraycopy(data, 0, back, got, n);
            got += n;
            if (got == back.length) LockSupport.unpark(waiter);
        }

        void await(Duration timeout) throws TimeoutException, InterruptedException {
            long end = System.nanoTime() + timeout.toNanos();
            for (int turn = 0; got < back.length; turn++) {
                if (System.nanoTime() - end >= 0) {
                    throw new TimeoutException(got + " of " + back.length + " bytes arrived in " + timeout);
                }
                // A loopback echo is back within microseconds: a wake-up would cost more than it.
                if (turn < 1000) Thread.yield();
                else LockSupport.parkNanos(this, end - System.nanoTime());
                if (Thread.interrupted()) throw new InterruptedException();
            }
        }
    }

    private int power(DevicePort device, List<String> rest) {
        expect(rest, 0, 0, "no argument after PORT");
        long start = System.nanoTime();
        long end = seconds < 0 ? Long.MAX_VALUE : start + (long) (seconds * 1e9);
        PowerState last = null;
        while (!Thread.currentThread().isInterrupted()) {
            PowerState now = device.powerState();
            if (now != last) {
                out.printf(Locale.ROOT, "%8.3f s  power %s (%d)%n", (System.nanoTime() - start) / 1e9, now, now.value());
                last = now;
            }
            if (System.nanoTime() - end >= 0) break;
            LockSupport.parkNanos(Math.min(100_000_000L, Math.max(0, end - System.nanoTime())));
        }
        return 0;
    }

    private int custom(DevicePort device, List<String> rest) {
        expect(rest, 2, 4, "get|set KEY [number|string|binary] [VALUE]");
        boolean set = rest.get(0).equals("set");
        if (!set && !rest.get(0).equals("get")) throw new IllegalArgumentException("expected get or set");
        String key = rest.get(1);
        int plain = set ? 3 : 2;  // get KEY | set KEY VALUE, each with an optional kind before VALUE
        if (rest.size() != plain && rest.size() != plain + 1) {
            throw new IllegalArgumentException("expected get|set KEY [number|string|binary] [VALUE]");
        }
        String kind = rest.size() > plain ? rest.get(2) : "string";
        String value = set ? rest.get(rest.size() - 1) : null;
        String shown;
        switch (kind) {
            case "number":
                if (set) device.setNumber(key, Integer.decode(value));
                shown = set ? value : Integer.toString(device.getNumber(key));
                break;
            case "string":
                if (set) device.setString(key, value);
                shown = set ? value : device.getString(key);
                break;
            case "binary":
                if (set) device.setBinary(key, Hex.parse(value));
                shown = set ? value : Hex.format(device.getBinary(key));
                break;
            default:
                throw new IllegalArgumentException("unknown kind " + kind);
        }
        step((set ? "set " : "get ") + kind + " " + key, ResultCode.SUCCESS, "= " + shown);
        return 0;
    }
}
