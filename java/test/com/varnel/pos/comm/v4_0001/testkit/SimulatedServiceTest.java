package com.varnel.pos.comm.v4_0001.testkit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.varnel.pos.comm.v4_0001.port.DevicePort;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

class SimulatedServiceTest {
    @Test
    void portsReachThePrivateCopyWhichGoesAwayOnClose() throws Exception {
        Path copy;
        try (SimulatedService sim = SimulatedService.start("property COM1 1 7 42\n")) {
            copy = sim.installRoot();
            assertEquals(PosixFilePermissions.fromString("rwx------"), Files.getPosixFilePermissions(copy));
            assertEquals("property COM1 1 7 42\n", Files.readString(
                    copy.resolve("varnel_dcx/relayhost/vsim-scenario.txt"), StandardCharsets.UTF_8));
            try (DevicePort port = DevicePort.open(null, "COM1", 1)) {
                assertEquals(42, port.getProperty(7));
            }
        }
        assertFalse(Files.exists(copy));
    }

    @Test
    void logAndCountsAreThoseOfTheLibraryTheBridgeLoadedAndStartFromNothing() throws Exception {
        for (int service = 1; service <= 2; service++) {
            try (SimulatedService sim = SimulatedService.start("");
                 DevicePort port = DevicePort.open(null, "COM1", 1)) {
                port.write(new byte[] {1, 2, 3});
                assertEquals(1, sim.callCount("DCX_Open"), "service " + service);
                List<String> calls = sim.callLog().stream()
                        .filter(line -> line.startsWith("DCX_Open") || line.startsWith("DCX_Send")).toList();
                assertEquals(List.of("DCX_Open(, COM1, UPOS, 1)", "DCX_Send(P1, 0, 0, 1000, 3)"), calls,
                        "service " + service);
            }
        }
    }

    // Lines are separated by " ;; ".
    @ParameterizedTest
    @CsvSource(delimiter = '|', value = {
        "property COM1 1 4                                     | 1",
        "log on ;; # the printer ;;  ;; rule COM1 * exact 1B 76 reply | 4",
        "unmatched COM1 * echo ;; rule COM1 * exact 1G reply \"x\" | 2",
        "unsolicited COM1 1 every soon \"x\"                   | 1"})
    void aScriptThatDoesNotParseIsRefusedWithItsLineAndNothingLeftBehind(String script, int line)
            throws Exception {
        long before = leftovers();
        ScenarioException e = assertThrows(ScenarioException.class,
                () -> SimulatedService.start(script.replace(" ;; ", "\n")));
        assertEquals(line, e.line(), e.getMessage());
        assertFalse(e.reason().isEmpty() || e.reason().startsWith("line"), e.getMessage());
        assertEquals(before, leftovers());
        SimulatedService.start("").close();  // nothing stays open either
    }

    @Test
    void onlyOneServiceAtATime() throws Exception {
        try (SimulatedService sim = SimulatedService.start("")) {
            assertThrows(IllegalStateException.class, () -> SimulatedService.start(""));
            assertThrows(IllegalStateException.class, () -> ScenarioCheck.check(SimulatedService.defaultRoot(), ""));
            assertTrue(Files.isDirectory(sim.installRoot()));
        }
    }

    private static long leftovers() throws IOException {
        try (Stream<Path> files = Files.list(Paths.get(System.getProperty("java.io.tmpdir")))) {
            return files.filter(p -> p.getFileName().toString().startsWith("varnel-sim-")).count();
        }
    }
}
