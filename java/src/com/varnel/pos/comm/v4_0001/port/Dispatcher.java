package com.varnel.pos.comm.v4_0001.port;

import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.LockSupport;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * The JVM's one thread serving every port with listeners or waiting readers: the library only
 * lets Java poll for received data, so it polls them, one after the other. While a port with
 * listeners is hot (a while after a write on it or data from it, since an answer usually follows
 * within milliseconds) it polls without parking, yielding between turns; otherwise it parks for
 * growing spells up to the interval, and for good when nothing is watched. A reader waiting on a
 * hot port polls for itself instead: a hand-over through a wake-up costs a scheduler round trip,
 * and on two cores a second spinning thread would starve the service's own. Started at the first
 * watch; a daemon.
 */
final class Dispatcher implements Runnable {
    static final Dispatcher INSTANCE = new Dispatcher();

    private static final Logger LOG = Logger.getLogger("com.varnel.pos.comm.v4_0001.port");
    private static final long FIRST_PARK_NANOS = 20_000;
    private static final int SCRATCH = 16 * 1024;

    private final CopyOnWriteArrayList<PortWatch> ports = new CopyOnWriteArrayList<>();
    private volatile long intervalNanos = DevicePort.DEFAULT_POLL_INTERVAL.toNanos();
    private volatile long hotWindowNanos = DevicePort.DEFAULT_HOT_WINDOW.toNanos();
    // A signaller sets signal, then reads parked; the thread sets parked, then reads signal: one
    // of the two sees the other, so no watch or write is missed. A permit alone could be: a
    // listener that parks (on a latch, say) may consume it.
    private final AtomicBoolean signal = new AtomicBoolean();
    private volatile boolean parked;
    private Thread thread;  // guarded by this

    private Dispatcher() {}

    void configure(long interval, long hotWindow) {
        intervalNanos = interval;
        hotWindowNanos = hotWindow;
        wake();
    }

    void watch(PortWatch port) {
        if (port.listed.compareAndSet(false, true)) ports.add(port);
        thread();  // started at the first watch
        wake();
    }

    long hotWindowNanos() {
        return hotWindowNanos;
    }

    /** A port turned hot: it may have to spin again. */
    void wake() {
        signal.set(true);
        if (parked) LockSupport.unpark(thread());
    }

    private synchronized Thread thread() {
        if (thread == null) {
            thread = new Thread(this, "varnel-port-dispatcher");
            thread.setDaemon(true);
            thread.start();
        }
        return thread;
    }

    /** Calls a listener; what it throws is logged here, once, and the caller goes on. */
    static void guarded(String portName, Object listener, Runnable call) {
        try {
            call.run();
        } catch (Throwable e) {
            LOG.log(Level.WARNING, "A listener of " + portName + " threw; delivery goes on (" + listener + ")", e);
        }
    }

    @Override
    public void run() {
        byte[] scratch = new byte[SCRATCH];
        long pause = FIRST_PARK_NANOS;
        while (true) {
            boolean pollsData = false;
            boolean spin = false;
            long powerOnly = Long.MAX_VALUE;
            long now = System.nanoTime();
            for (PortWatch port : ports) {
                try {
                    port.poll(scratch, now);
                } catch (IllegalStateException closing) {
                    // closed since it was listed; needed() is false now
                } catch (RuntimeException e) {
                    LOG.log(Level.WARNING, "Polling a port failed", e);
                }
                if (!port.needed()) unlist(port);
                else if (port.pollsData()) {
                    pollsData = true;
                    spin |= port.listens() && port.isHot();
                }
                else powerOnly = port.powerPollNanos();
            }
            // Waiting readers look for themselves while it is hot: one thread spinning is enough.
            if (spin) {
                Thread.yield();
                pause = FIRST_PARK_NANOS;
                continue;
            }
            parked = true;
            if (!signal.getAndSet(false)) {
                if (ports.isEmpty()) {
                    LockSupport.park(this);
                } else {
                    LockSupport.parkNanos(this, pollsData ? Math.min(pause, intervalNanos) : powerOnly);
                    pause = Math.min(pause * 2, intervalNanos);
                }
            }
            parked = false;
        }
    }

    private void unlist(PortWatch port) {
        port.listed.set(false);
        ports.remove(port);
        if (port.needed() && port.listed.compareAndSet(false, true)) ports.add(port);  // raced a watch
    }
}
