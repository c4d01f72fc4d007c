package com.varnel.pos.comm.v4_0001.port;

/**
 * The power state of the device behind a power-reporting port (one whose name contains
 * "KOVLAN"), as the native library's power monitor reports it.
 *
 * <p>The same number reads differently on the two kinds of port, and only the port's
 * configuration says which kind it is:
 *
 * <ul>
 *   <li>one device on the port: 0, 3 or 4, derived from the device's raw power reading (property
 *       4): reading 0 gives 0, readings 1 and 3 give 3, reading 2 gives 4. A 4 reported by the
 *       device is kept until a poll has returned it once, even if the device has moved on;
 *   <li>two chained devices on the port: 0 to 3, two bits: 1 when the device of the first role
 *       (device types other than 2) is powered, 2 when that of the second role (device type 2)
 *       is; 3 both, whichever role the port itself was opened in.
 * </ul>
 *
 * <p>What a device service does with them: it polls {@link DevicePort#powerState()} (the library
 * sends no power events to Java) and reports a change when the value differs from the last poll.
 * {@link #UNKNOWN} means the device cannot report power through this port, or has not yet: a
 * device service reports its power state as unknown and its power reporting as absent. On a
 * port with two devices the bits say, for each device, powered or not; a device service serving
 * one of the two looks at its own bit ({@link #firstOfTwoPowered()}, {@link
 * #secondOfTwoPowered()}). On a port with one device, 0, 3 and 4 stand for the device's raw
 * readings 0, 1 or 3, and 2: which of these a device calls on, off or offline is for its own
 * documentation to say, not the library's; the latching of 4 makes a brief reading 2 visible to
 * a poll that came too late for it, so a device service does not miss it.
 *
 * <p>Immutable; safe from any thread.
 */
public enum PowerState {
    /**
     * -1: the port is not watched (its name lacks "KOVLAN", or the port service's power functions
     * could not be loaded) or the state is not known yet; a device service reports unknown.
     */
    UNKNOWN(-1),
    /** 0: one device: raw reading 0; two devices: neither powered, both off for a device service. */
    STATE_0(0),
    /** 1: two devices only: the first (device types other than 2) powered, the second not. */
    STATE_1(1),
    /** 2: two devices only: the second (device type 2) powered, the first not. */
    STATE_2(2),
    /** 3: one device: raw reading 1 or 3; two devices: both powered, both on for a device service. */
    STATE_3(3),
    /**
     * 4: one device only: raw reading 2; returned by at least one poll even when the device left
     * it before that poll.
     */
    STATE_4(4);

    private final int value;

    PowerState(int value) {
        this.value = value;
    }

    /**
     * The constant for a value the library returned.
     *
     * @param value a result of {@code checkOstrelPowerStatus}
     * @return its constant
     * @throws IllegalArgumentException for a value the library never returns
     */
    public static PowerState of(int value) {
        if (value < -1 || value > 4) throw new IllegalArgumentException("not a power state: " + value);
        return values()[value + 1];
    }

    /**
     * The number {@code checkOstrelPowerStatus} returns.
     *
     * @return -1 to 4
     */
    public int value() {
        return value;
    }

    /**
     * On a port with two chained devices: whether the first device is powered.
     *
     * @return bit 1 of the state; false for {@link #UNKNOWN}
     */
    public boolean firstOfTwoPowered() {
        return value > 0 && value <= 3 && (value & 1) != 0;
    }

    /**
     * On a port with two chained devices: whether the second device is powered.
     *
     * @return bit 2 of the state; false for {@link #UNKNOWN}
     */
    public boolean secondOfTwoPowered() {
        return value > 0 && value <= 3 && (value & 2) != 0;
    }
}
