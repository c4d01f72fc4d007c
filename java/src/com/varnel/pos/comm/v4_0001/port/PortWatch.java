package com.varnel.pos.comm.v4_0001.port;

import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.LockSupport;
import java.util.function.Supplier;

/**
 * What the dispatcher watches on one port: its data listeners, its power listeners and the
 * readers waiting for its data. Every taker of the port's data goes through here, so that while
 * data listeners are added they get all of it.
 */
final class PortWatch {
    private static final long POWER_POLL_NANOS = TimeUnit.MILLISECONDS.toNanos(100);

    private final String portName;
    private final ReceiveBuffer receive;
    private final Supplier<PowerState> power;
    private final CopyOnWriteArrayList<Framer> framers = new CopyOnWriteArrayList<>();
    private final CopyOnWriteArrayList<PowerWatcher> powerWatchers = new CopyOnWriteArrayList<>();
    private final ConcurrentLinkedQueue<Thread> waiting = new ConcurrentLinkedQueue<>();
    /** Whether the dispatcher has it in its list; only {@link Dispatcher} changes it. */
    final AtomicBoolean listed = new AtomicBoolean();
    private volatile boolean closed;
    private volatile long hotUntil = System.nanoTime();  // after a write or data: an answer is due
    private volatile boolean powerDue;  // a new power listener waits for its first state
    private long nextPowerPoll;  // dispatcher thread only

    PortWatch(String portName, ReceiveBuffer receive, Supplier<PowerState> power) {
        this.portName = portName;
        this.receive = receive;
        this.power = power;
    }

    void add(Framer framer) {
        framers.add(framer);
        if (closed) {  // lost a race with close, which may have missed it
            framers.remove(framer);
            framer.remove();
            throw closedException();
        }
        Dispatcher.INSTANCE.watch(this);
    }

    void add(PowerListener listener) {
        PowerWatcher watcher = new PowerWatcher(listener);
        powerWatchers.add(watcher);
        if (closed) {
            powerWatchers.remove(watcher);
            watcher.removed = true;
            throw closedException();
        }
        powerDue = true;
        Dispatcher.INSTANCE.watch(this);
    }

    boolean removeData(DataListener listener) {
        for (Framer framer : framers) {
            if (framer.listener() == listener && framers.remove(framer)) {
                framer.remove();
                return true;
            }
        }
        return false;
    }

    boolean removePower(PowerListener listener) {
        for (PowerWatcher watcher : powerWatchers) {
            if (watcher.listener == listener && powerWatchers.remove(watcher)) {
                watcher.removed = true;
                return true;
            }
        }
        return false;
    }

    /** A read that never waits. */
    int take(byte[] into, int offset, int length) {
        if (closed) throw closedException();
        if (!framers.isEmpty()) throw new IllegalStateException(portName + "'s data goes to its data listeners");
        return receive.take(into, offset, length);
    }

    /** A read that waits until bytes are there, the time is up (0), or the port is closed. */
    int read(byte[] into, int offset, int length, long timeoutNanos) throws InterruptedException {
        int n = take(into, offset, length);
        if (n > 0 || timeoutNanos <= 0 || length == 0) return n;
        final long deadline = System.nanoTime() + timeoutNanos;
        Thread self = Thread.currentThread();
        waiting.add(self);
        try {
            Dispatcher.INSTANCE.watch(this);
            while (true) {
                if (Thread.interrupted()) throw new InterruptedException();
                n = take(into, offset, length);
                long left = deadline - System.nanoTime();
                if (n > 0 || left <= 0) return n;
                // In a hot window, when an answer is due, it looks for itself (see Dispatcher);
                // otherwise the dispatcher wakes it when bytes are held.
                if (isHot()) Thread.yield();
                else LockSupport.parkNanos(this, left);
            }
        } finally {
            waiting.remove(self);
        }
    }

    /** Bytes held in Java; when none, takes what the port has, without waiting. */
    int available() {
        if (closed) throw closedException();
        if (!framers.isEmpty()) return 0;
        receive.fill(new byte[4096]);
        return receive.held();
    }

    /** A write went out: an answer is likely soon. */
    void wrote() {
        long window = Dispatcher.INSTANCE.hotWindowNanos();
        hotUntil = System.nanoTime() + window;  // for a read that follows, too
        if (!listed.get() || window == 0) return;
        for (Thread reader : waiting) LockSupport.unpark(reader);  // to look for themselves
        Dispatcher.INSTANCE.wake();
    }

    boolean isHot() {
        return hotUntil - System.nanoTime() > 0;
    }

    void close() {
        closed = true;
        for (Framer framer : framers) framer.remove();
        framers.clear();
        for (PowerWatcher watcher : powerWatchers) watcher.removed = true;
        powerWatchers.clear();
        for (Thread reader : waiting) LockSupport.unpark(reader);
    }

    boolean pollsData() {
        return !framers.isEmpty() || !waiting.isEmpty();
    }

    boolean listens() {
        return !framers.isEmpty();
    }

    boolean needed() {
        return !closed && (pollsData() || !powerWatchers.isEmpty());
    }

    /**
     * One turn of the dispatcher: takes the port's data for its listeners or its waiting readers,
     * and polls power when due.
     *
     * @return whether data or an error came
     */
    boolean poll(byte[] scratch, long now) {
        boolean came = false;
        if (!framers.isEmpty()) {
            try {
                int n = receive.take(scratch, 0, scratch.length);
                if (n > 0) for (Framer framer : framers) framer.take(scratch, n);
                came = n > 0;
            } catch (PortException e) {
                for (Framer framer : framers) framer.fail(e);
                came = true;
            }
        } else if (!waiting.isEmpty() && !isHot() && receive.fill(scratch)) {
            // (In a hot window the readers look for themselves: taking turns with them on the
            // buffer's lock would put one of them to sleep on it.)
            for (Thread reader : waiting) LockSupport.unpark(reader);
            came = true;
        }
        if (!powerWatchers.isEmpty() && (powerDue || now - nextPowerPoll >= 0)) {
            powerDue = false;
            nextPowerPoll = now + POWER_POLL_NANOS;
            PowerState state = power.get();
            for (PowerWatcher watcher : powerWatchers) {
                if (state != watcher.last && !watcher.removed) {
                    watcher.last = state;
                    Dispatcher.guarded(portName, watcher.listener, () -> watcher.listener.onPowerState(state));
                }
            }
        }
        if (came) hotUntil = now + Dispatcher.INSTANCE.hotWindowNanos();
        return came;
    }

    long powerPollNanos() {
        return POWER_POLL_NANOS;
    }

    private IllegalStateException closedException() {
        return new IllegalStateException(portName + " is closed");
    }

    private static final class PowerWatcher {
        final PowerListener listener;
        PowerState last;  // dispatcher thread only
        volatile boolean removed;

        PowerWatcher(PowerListener listener) {
            this.listener = listener;
        }
    }
}
