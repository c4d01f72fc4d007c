package com.varnel.pos.comm.v4_0001.port;

/**
 * Learns the changes of a port's {@link DevicePort#powerState()}, on the dispatcher thread, which
 * polls it every {@link DevicePort#POWER_POLL_INTERVAL}. An exception it throws is logged and
 * delivery goes on.
 */
@FunctionalInterface
public interface PowerListener {
    /**
     * Takes the power state: first the one found at the first poll after the listener was
     * added, then each different one.
     *
     * @param state the new power state
     */
    void onPowerState(PowerState state);
}
