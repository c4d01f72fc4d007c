package com.varnel.pos.comm.v4_0001.testkit;

/** A script the simulator does not understand, with the first line at fault and why. */
public final class ScenarioException extends IllegalArgumentException {
    private static final long serialVersionUID = 1L;

    /** The first line not understood, from 1; 0 when unknown. */
    private final int line;
    /** The simulator's reason, without the line number. */
    private final String reason;

    ScenarioException(String error) {
        super(error);
        int colon = error.indexOf(':');
        int number = 0;
        if (error.startsWith("line ") && colon > 5) {
            try {
                number = Integer.parseInt(error.substring(5, colon));
            } catch (NumberFormatException e) {
                number = 0;
            }
        }
        line = number;
        reason = number > 0 ? error.substring(colon + 1).trim() : error;
    }

    /**
     * The first line the simulator did not understand.
     *
     * @return its number, counting from 1; 0 when the simulator did not say
     */
    public int line() {
        return line;
    }

    /**
     * Why the line was not understood.
     *
     * @return the simulator's reason, without the line number
     */
    public String reason() {
        return reason;
    }
}
