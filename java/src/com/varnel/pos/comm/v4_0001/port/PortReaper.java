package com.varnel.pos.comm.v4_0001.port;

import com.varnel.pos.comm.v4_0001.PortHandlerIO;
import java.lang.ref.PhantomReference;
import java.lang.ref.ReferenceQueue;
import java.util.Collections;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Closes the ports that became unreachable without a close, so that forgotten ports do not keep
 * their receive buffers and service connections for the life of the process: a phantom
 * reference per port and one daemon thread on their queue (what Cleaner does on Java 9 and
 * later), with a warning naming each port it closes.
 */
final class PortReaper {
    private static final Logger LOG = Logger.getLogger(DevicePort.class.getPackage().getName());
    private static final ReferenceQueue<DevicePort> QUEUE = new ReferenceQueue<>();
    // Keeps the references themselves reachable until their port is closed one way or the other.
    private static final Set<Watch> WATCHED = Collections.newSetFromMap(new ConcurrentHashMap<Watch, Boolean>());

    static {
        Thread thread = new Thread(PortReaper::run, "varnel-port-reaper");
        thread.setDaemon(true);
        thread.start();
    }

    private PortReaper() {}

    /** Watches a new port until {@link Watch#forget()}: its close by the owner. */
    static Watch watch(DevicePort port, NativeHandle handle) {
        Watch watch = new Watch(port, handle);
        WATCHED.add(watch);
        return watch;
    }

    private static void run() {
        while (true) {
            try {
                Watch watch = (Watch) QUEUE.remove();
                WATCHED.remove(watch);
                long handle = watch.handle.take();
                if (handle == 0) continue;  // closed by its owner after all
                int result = PortHandlerIO.Close(handle);
                LOG.warning("port " + watch.handle.portName + " was never closed; closed it when it became "
                        + "unreachable: Close -> " + result + " " + ResultCode.of(result));
            } catch (InterruptedException e) {
                return;
            } catch (RuntimeException e) {
                LOG.log(Level.WARNING, "closing an unreachable port failed", e);
            }
        }
    }

    static final class Watch extends PhantomReference<DevicePort> {
        private final NativeHandle handle;

        private Watch(DevicePort port, NativeHandle handle) {
            super(port, QUEUE);
            this.handle = handle;
        }

        void forget() {
            WATCHED.remove(this);
            clear();
        }
    }
}
