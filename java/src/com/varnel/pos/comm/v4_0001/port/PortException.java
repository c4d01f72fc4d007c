package com.varnel.pos.comm.v4_0001.port;

/**
 * A native call on a port failed: carries the bridge result code and the operation that got it.
 *
 * <p>Unchecked: a device service wraps these into its own exceptions (a {@code JposException},
 * typically, with {@link ResultCode#suggestedJposErrorCode()}) at one place, its own method
 * boundary, and most of the failures cannot be handled closer to the call than that. A checked
 * exception would make every caller in between declare or rethrow it for nothing.
 *
 * <p>Immutable once thrown.
 */
public class PortException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** The result code. */
    private final ResultCode result;
    /** The operation that failed. */
    private final String operation;

    /**
     * Makes the exception for a failed operation.
     *
     * @param operation what failed, e.g. "Write"
     * @param result the result code the library returned (not {@link ResultCode#SUCCESS})
     */
    public PortException(String operation, ResultCode result) {
        this(operation, result, null);
    }

    /** With what Java found out about the failure, after the code. */
    PortException(String operation, ResultCode result, String detail) {
        super(operation + " failed: " + result.code() + " " + result + " (" + result.description() + ")"
                + (detail == null ? "" : ": " + detail));
        this.result = result;
        this.operation = operation;
    }

    /**
     * The result code the library returned.
     *
     * @return the result code
     */
    public ResultCode result() {
        return result;
    }

    /**
     * The operation that failed, as named in the message: the native method, or the custom-value
     * accessor.
     *
     * @return the operation name
     */
    public String operation() {
        return operation;
    }
}
