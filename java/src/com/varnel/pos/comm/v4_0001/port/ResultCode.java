package com.varnel.pos.comm.v4_0001.port;

/**
 * The result codes the native library returns, with the JavaPOS error code a device service
 * would most naturally raise for each.
 *
 * <p>Most failures are the port service's own result codes, translated one to one or, for two
 * pairs and one range, many to one. The library gives no meaning to those beyond the service code
 * they come from, and neither does this enum: their names say only which service codes they stand
 * for.
 *
 * <p>Suggested JavaPOS error codes ({@link #suggestedJposErrorCode()}; the numbers are those of
 * {@code JposConst}, repeated here so that this library needs no JavaPOS jar):
 *
 * <table class="striped">
 * <caption>Bridge result codes and the JavaPOS error code suggested for each</caption>
 * <thead><tr><th>Code</th><th>Constant</th><th>JavaPOS</th><th>Why</th></tr></thead>
 * <tbody>
 * <tr><td>0</td><td>{@link #SUCCESS}</td><td>0 (JPOS_SUCCESS)</td><td>nothing failed</td></tr>
 * <tr><td>-1</td><td>{@link #BAD_HANDLE}</td><td>101 E_CLOSED</td><td>the port is not open</td></tr>
 * <tr><td>-3</td><td>{@link #BAD_ARGUMENT}</td><td>106 E_ILLEGAL</td><td>the caller's request is wrong</td></tr>
 * <tr><td>-4</td><td>{@link #NOT_SUPPORTED}</td><td>106 E_ILLEGAL</td><td>JavaPOS reports an unsupported request as illegal</td></tr>
 * <tr><td>-5</td><td>{@link #SERVICE_NOT_AVAILABLE}</td><td>104 E_NOSERVICE</td><td>the port service cannot be loaded or used</td></tr>
 * <tr><td>-6</td><td>{@link #NO_MEMORY}</td><td>111 E_FAILURE</td><td>the library could not allocate</td></tr>
 * <tr><td>-7</td><td>{@link #BUFFER_OVERFLOW}</td><td>111 E_FAILURE</td><td>data was lost, or a value did not fit</td></tr>
 * <tr><td>-2, -9, -10, -11, -15, -17, -18</td><td>{@code SERVICE_...}</td><td>111 E_FAILURE</td><td>a service failure the library does not interpret</td></tr>
 * <tr><td>-100</td><td>{@link #UNEXPECTED}</td><td>111 E_FAILURE</td><td>a service result the library does not know</td></tr>
 * </tbody>
 * </table>
 *
 * <p>Immutable; every method is safe from any thread.
 */
public enum ResultCode {
    /** 0: the call succeeded. */
    SUCCESS(0, "success", 0),
    /** -1: the handle is not a live port (closed or never opened), or the service refused it. */
    BAD_HANDLE(-1, "the port handle is not open", 101),
    /** -2: the service answered one of 0x20000007 to 0x2000000B. */
    SERVICE_20000007_TO_2000000B(-2, "service result 0x20000007 to 0x2000000B", 111),
    /** -3: an argument was missing or out of range. */
    BAD_ARGUMENT(-3, "bad argument", 106),
    /** -4: the service does not support the request. */
    NOT_SUPPORTED(-4, "not supported", 106),
    /** -5: the port service could not be loaded, or a function it needs is missing. */
    SERVICE_NOT_AVAILABLE(-5, "port service not available", 104),
    /** -6: the library could not allocate a port's receive buffer. */
    NO_MEMORY(-6, "out of memory", 111),
    /**
     * -7: received data was lost because the receive buffer was full (from Read, once, the buffer
     * then emptied), or a custom value is longer than the capacity asked for.
     */
    BUFFER_OVERFLOW(-7, "buffer overflow", 111),
    /** -9: the service answered 0x80000005. */
    SERVICE_80000005(-9, "service result 0x80000005", 111),
    /** -10: the service answered 0x8000000B (the simulator's answer for an absent custom value). */
    SERVICE_8000000B(-10, "service result 0x8000000B", 111),
    /** -11: the service answered 0x40000004 or 0x80000006. */
    SERVICE_40000004_OR_80000006(-11, "service result 0x40000004 or 0x80000006", 111),
    /** -15: the service answered 0x40000002 or 0x8000000F. */
    SERVICE_40000002_OR_8000000F(-15, "service result 0x40000002 or 0x8000000F", 111),
    /** -17: the service answered 0x40000001. */
    SERVICE_40000001(-17, "service result 0x40000001", 111),
    /** -18: the service answered 0x40000003. */
    SERVICE_40000003(-18, "service result 0x40000003", 111),
    /** -100: the service answered a result code the library does not translate. */
    UNEXPECTED(-100, "unexpected service result", 111);

    private final int code;
    private final String description;
    private final int jposErrorCode;

    ResultCode(int code, String description, int jposErrorCode) {
        this.code = code;
        this.description = description;
        this.jposErrorCode = jposErrorCode;
    }

    /**
     * The constant for a code the library returned.
     *
     * @param code a bridge result code
     * @return its constant
     * @throws IllegalArgumentException for a code the library never returns
     */
    public static ResultCode of(int code) {
        for (ResultCode value : values()) {
            if (value.code == code) return value;
        }
        throw new IllegalArgumentException("not a bridge result code: " + code);
    }

    /**
     * The number the native methods return.
     *
     * @return 0 or a negative code
     */
    public int code() {
        return code;
    }

    /**
     * What the code means, in a few words.
     *
     * @return the description
     */
    public String description() {
        return description;
    }

    /**
     * The JavaPOS error code a device service would most naturally raise for this result: a
     * suggestion (see the table above), not something the library or JavaPOS prescribes.
     *
     * @return 0 for {@link #SUCCESS}, else a {@code JposConst.E_...} value
     */
    public int suggestedJposErrorCode() {
        return jposErrorCode;
    }

    /**
     * The exit status the port console uses for this result: the code's absolute value.
     *
     * @return 0 to 100
     */
    public int exitStatus() {
        return Math.abs(code);
    }
}
