package com.varnel.pos.comm.v4_0001.testkit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The scenario check as users run it: the console jar, or the testkit jar on its own. */
class ScenarioCheckTest {
    @TempDir
    Path dir;

    // Lines are separated by " ;; ".
    @ParameterizedTest
    @CsvSource(delimiter = '|', value = {
        "console | rule COM1 * prefix \"AT\" reply \"OK\\r\\n\" split 2 | 0  | ok",
        "console | config COM1 1 ;; rule COM1 * exact reply \"x\"      | 65 | script.txt: line 2: .+",
        "console | -                                                | 66 | cannot read .*",
        "testkit | power COM1 1 2 after-reads                       | 65 | script.txt: line 1: .+"})
    void reportsTheFirstLineNotUnderstood(String jar, String script, int status, String output)
            throws Exception {
        Path file = dir.resolve("script.txt");
        if (!script.equals("-")) Files.write(file, script.replace(" ;; ", "\n").getBytes(StandardCharsets.UTF_8));
        String consoleJar = System.getProperty("varnel.test.jar");
        List<String> command = new ArrayList<>(List.of(System.getProperty("varnel.test.java"), "-jar",
                jar.equals("console") ? consoleJar
                        : new File(new File(consoleJar).getParentFile(), "varnel-porthandler-testkit.jar").getPath(),
                "scenario", "check", file.toString(), "--root", SimulatedService.defaultRoot().toString()));
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        String text = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        assertEquals(status, process.waitFor(), text);
        assertTrue(text.matches("(?s)(.*/)?" + output), text);
    }
}
