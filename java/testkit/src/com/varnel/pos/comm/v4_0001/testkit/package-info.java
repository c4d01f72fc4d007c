/**
 * Testing device services without hardware: a simulated port service for each test.
 *
 * <p>{@link com.varnel.pos.comm.v4_0001.testkit.SimulatedService} starts the simulator from a
 * device script (rules that answer what the service sends, split or delayed replies, unsolicited
 * data, power and lock events; the format is in docs/SIMULATOR-SCRIPTS.md) and points the port
 * API at it; {@link com.varnel.pos.comm.v4_0001.testkit.ScenarioCheck} reports a script line that
 * does not parse. The classes need the simulator's install root (package
 * varnel-porthandler-simulator, or the system property {@code varnel.sim.root}).
 *
 * <p>An example: a receipt printer's service prints a line, then asks for the status (ESC 's',
 * answered by "S:" two hexadecimal digits CR LF). A JUnit 5 test runs it against scripts in which
 * a rule answers the status request in three blocks, too late, or by switching the printer off:
 *
 * <pre>
 * class ReceiptPrinterTest {
 *     // Powered on; print jobs are swallowed instead of echoed.
 *     static final String PRINTER = "property KOVLAN-PRN 1 4 1\n" + "unmatched KOVLAN-PRN * drop\n";
 *
 *     static Stream&lt;Arguments&gt; answers() {
 *         return Stream.of(
 *                 arguments("reply \"S:00\\r\\n\" split 3 gap 20", Status.READY),
 *                 arguments("reply \"S:01\\r\\n\"", Status.PAPER_OUT),
 *                 arguments("reply \"S:00\\r\\n\" delay 2000", Status.NO_ANSWER),
 *                 arguments("power 0", Status.OFFLINE));
 *     }
 *
 *     &#64;ParameterizedTest
 *     &#64;MethodSource("answers")
 *     void statusRequestAnsweredByARule(String answer, Status expected) throws Exception {
 *         String script = PRINTER + "rule KOVLAN-PRN * exact \"\\x1bs\" " + answer + "\n";
 *         try (SimulatedService sim = SimulatedService.start(script);
 *              ReceiptPrinter printer = new ReceiptPrinter("KOVLAN-PRN", Duration.ofMillis(300))) {
 *             assertEquals(expected, printer.printAndCheck("Total 12.50"));
 *             assertEquals(2, sim.callCount("DCX_Send"));  // the line, then the request
 *         }
 *     }
 * }
 * </pre>
 *
 * <p>The simulator and the install root are process-wide: tests that start a simulated service
 * must not run in parallel with each other.
 */
package com.varnel.pos.comm.v4_0001.testkit;
