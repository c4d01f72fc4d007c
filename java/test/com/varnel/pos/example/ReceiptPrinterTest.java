package com.varnel.pos.example;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.params.provider.Arguments.arguments;

import com.varnel.pos.comm.v4_0001.testkit.SimulatedService;
import com.varnel.pos.example.ReceiptPrinter.Status;
import java.time.Duration;
import java.util.stream.Stream;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** The testkit's example: a receipt printer's service against simulated printers. */
class ReceiptPrinterTest {
    // Powered on; print jobs are swallowed instead of echoed.
    static final String PRINTER = "property KOVLAN-PRN 1 4 1\n" + "unmatched KOVLAN-PRN * drop\n";

    static Stream<Arguments> answers() {
        return Stream.of(
                arguments("reply \"S:00\\r\\n\" split 3 gap 20", Status.READY),
                arguments("reply \"S:01\\r\\n\"", Status.PAPER_OUT),
                arguments("reply \"S:00\\r\\n\" delay 2000", Status.NO_ANSWER),
                arguments("power 0", Status.OFFLINE));
    }

    @ParameterizedTest(name = "{0}: {1}")
    @MethodSource("answers")
    void statusRequestAnsweredByARule(String answer, Status expected) throws Exception {
        String script = PRINTER + "rule KOVLAN-PRN * exact \"\\x1bs\" " + answer + "\n";
        try (SimulatedService sim = SimulatedService.start(script);
             ReceiptPrinter printer = new ReceiptPrinter("KOVLAN-PRN", Duration.ofMillis(300))) {
            assertEquals(expected, printer.printAndCheck("Total 12.50"));
            assertEquals(2, sim.callCount("DCX_Send"));  // the line, then the request
        }
    }
}
