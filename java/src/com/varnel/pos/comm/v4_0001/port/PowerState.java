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
 * <p>The library gives these numbers no further meaning, and neither does this enum.
 *
 * <p>Immutable; safe from any thread.
 */
public enum PowerState {
    /** -1: the port is not watched (its name lacks "KOVLAN") or the state is not known yet. */
    UNKNOWN(-1),
    /** 0: one device: raw reading 0; two devices: neither powered. */
    STATE_0(0),
    /** 1: two devices only: the first powered, the second not. */
    STATE_1(1),
    /** 2: two devices only: the second powered, the first not. */
    STATE_2(2),
    /** 3: one device: raw reading 1 or 3; two devices: both powered. */
    STATE_3(3),
    /** 4: one device only: raw reading 2, reported at least once. */
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
