package com.varnel.pos.comm.v4_0001;

import static com.varnel.pos.comm.v4_0001.SimulatorSupport.open;
import static com.varnel.pos.comm.v4_0001.SimulatorSupport.readExactly;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Several Java threads, each on ports of its own, open, exchange, poll and close at once. */
class PortHandlerIOThreadsTest {
    private static final int THREADS = 4;
    private static final long RUN_MILLIS = 3000;

    @BeforeEach
    void simulatorRoot() throws Exception {
        SimulatorSupport.useRoot(SimulatorSupport.root());
        SimulatorSupport.scenario("# loopback only");
    }

    @AfterEach
    void defaultRoot() {
        assertEquals(0, PortHandlerIO.SetDCXPath(new byte[] {0}));
    }

    /** One thread's life: port after port, every echoed byte checked. Returns bytes checked. */
    private static long exercise(int worker) throws Exception {
        Random random = new Random(1000 + worker);
        String portName = (worker % 2 == 0 ? "KOVLAN-T" : "COM-T") + worker;
        long checked = 0;
        long end = System.nanoTime() + RUN_MILLIS * 1_000_000L;
        while (System.nanoTime() < end) {
            long handle = open("", portName, 1);
            for (int round = 0; round < 10; round++) {
                byte[] message = new byte[1 + random.nextInt(4096)];
                random.nextBytes(message);
                int[] sent = {0};
                assertEquals(0, PortHandlerIO.Write(handle, message, message.length, 0, sent));
                assertEquals(message.length, sent[0]);
                assertArrayEquals(message, readExactly(handle, message.length, 10_000));
                checked += message.length;
                int power = PortHandlerIO.checkOstrelPowerStatus(handle);
                assertTrue(power == -1 || power == 0 || power == 3 || power == 4, "power " + power);
            }
            assertEquals(0, PortHandlerIO.Clear(handle));
            assertEquals(0, PortHandlerIO.Close(handle));
        }
        return checked;
    }

    @Test
    void threadsOnSeveralPortsSeeEveryByteOfTheirOwnEcho() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        List<Future<Long>> results = new ArrayList<>();
        for (int worker = 0; worker < THREADS; worker++) {
            final int id = worker;
            results.add(pool.submit(() -> exercise(id)));
        }
        pool.shutdown();
        assertTrue(pool.awaitTermination(60, TimeUnit.SECONDS), "workers did not finish");
        long total = 0;
        for (Future<Long> result : results) total += result.get();  // rethrows a worker's failure
        assertTrue(total > 0, "no bytes were exchanged");
    }
}
