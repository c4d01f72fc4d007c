package com.varnel.pos.comm.v4_0001;

import static com.varnel.pos.comm.v4_0001.PortHandlerIO.*;
import static org.junit.jupiter.api.Assertions.*;

import java.io.File;
import java.nio.file.*;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.*;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Child JVMs with only the jar and these classes on their class path, and an empty library path (so
 * that no installed copy can stand in for the jar's). */
class NativeLoadingTest {
    @TempDir Path scratch;

    /** The child's program: echoes bytes through a port of the simulator root args[0]. */
    static final class Echo {
        public static void main(String[] args) throws Exception {
            byte[] sent = {1, 2, 3, 4}, echo = new byte[8];
            long[] handle = {0};
            int[] count = {0}, received = {0};
            if (SetDCXPath((args[0] + "\0").getBytes()) != 0 || Open("", "COM1", 1, handle) != 0
                    || Write(handle[0], sent, sent.length, 1000, count) != 0) throw new AssertionError("SetDCXPath, Open or Write failed");
            // The simulator hands back a send's bytes in one delivery: they come whole or not yet.
            for (long deadline = System.nanoTime() + 10_000_000_000L; received[0] == 0; Thread.sleep(1))
                if (System.nanoTime() > deadline || Read(handle[0], echo, echo.length, received) != 0) throw new AssertionError("no echo within 10 s");
            if (!Arrays.equals(sent, Arrays.copyOf(echo, received[0])) || Close(handle[0]) != 0)
                throw new AssertionError("echo " + Arrays.toString(Arrays.copyOf(echo, received[0])) + " or Close failed");
            System.out.println("loaded " + NativeLoader.loadedFrom);
        }
    }

    private static final String JAVA = Paths.get(System.getProperty("java.home"), "bin", "java").toString();

    /** Echo's exit status and output in a child JVM with these options and native access (no warning). */
    private String child(String... options) throws Exception {
        List<String> command = new ArrayList<>(List.of(JAVA, "-Djava.library.path=" + Files.createDirectories(scratch.resolve("empty")),
            "--enable-native-access=ALL-UNNAMED"));
        command.addAll(List.of(options));
        command.addAll(List.of("-cp", jarOf(PortHandlerIO.class) + File.pathSeparator + jarOf(Echo.class), Echo.class.getName(),
            System.getProperty("varnel.sim.root")));
        return run(command.toArray(new String[0]));
    }

    private String run(String... command) throws Exception {
        Process process = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(scratch.resolve("out").toFile()).start();
        assertTrue(process.waitFor(60, TimeUnit.SECONDS), "child JVM still running after 60 s");
        return "exit " + process.exitValue() + "\n" + Files.readString(scratch.resolve("out"));
    }

    private static Path jarOf(Class<?> type) throws Exception {
        return Paths.get(type.getProtectionDomain().getCodeSource().getLocation().toURI());
    }

    @Test
    void jarAloneExtractsItsCopyToTheTemporaryDirectoryAndRemovesItAtExit() throws Exception {
        Path tmp = Files.createDirectories(scratch.resolve("tmp"));
        String output = child("-Djava.io.tmpdir=" + tmp);
        assertTrue(output.startsWith("exit 0\nloaded " + tmp + "/libVarnelPHJNI-"), output);
        assertArrayEquals(new String[0], tmp.toFile().list(), "copy left after exit");
    }

    // A noexec mount needs privileges a test machine may lack. A temporary directory that is a
    // plain file fails one step earlier (writing the copy instead of mapping it), and both
    // failures take the loader to its second directory.
    @Test
    void unusableTemporaryDirectoryFallsBackToTheExtractDirectoryMadeOwnerOnly() throws Exception {
        Path file = Files.createFile(scratch.resolve("file")), cache = scratch.resolve("cache/varnel");
        String output = child("-Djava.io.tmpdir=" + file, "-D" + NativeLoader.EXTRACT_DIR_PROPERTY + "=" + cache);
        // Java 25 first warns that the temporary directory does not exist.
        assertTrue(output.matches("(?s)exit 0\n(WARNING: java.io.tmpdir[^\n]*\n)?loaded " + cache + "/libVarnelPHJNI-.*"), output);
        assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(cache)));
    }

    @Test
    void whenEveryPlaceFailsTheErrorListsEachWithItsReason() throws Exception {
        Path file = Files.createFile(scratch.resolve("file")), missing = scratch.resolve("missing.so");
        String output = child("-D" + NativeLoader.LIBRARY_PROPERTY + "=" + missing, "-Djava.io.tmpdir=" + file,
            "-D" + NativeLoader.EXTRACT_DIR_PROPERTY + "=" + file.resolve("under-a-file"));
        for (String place : new String[] {"UnsatisfiedLinkError: cannot load libVarnelPHJNI.so; tried:",
                 "\n  " + NativeLoader.LIBRARY_PROPERTY + "=" + missing + ": Can't load library: " + missing,
                 "\n  java.library.path=" + scratch.resolve("empty") + ": no VarnelPHJNI in java.library.path",
                 "\n  copy in the jar extracted to " + file + ": java.nio.file.FileAlreadyExistsException",
                 "\n  copy in the jar extracted to " + file.resolve("under-a-file") + ": java.nio.file."}) {
            assertTrue(output.contains(place), "missing \"" + place + "\" in\n" + output);
        }
    }

    /** Java 24+ warns when a class-path program loads a library without native access enabled; the
     * jar's manifest enables it for java -jar. */
    @ParameterizedTest
    @CsvSource({"-cp JAR com.varnel.pos.comm.v4_0001.console.PortConsole, true", "-jar JAR, false",
                "--enable-native-access=ALL-UNNAMED -cp JAR com.varnel.pos.comm.v4_0001.console.PortConsole, false"})
    void restrictedMethodWarningOnlyOnTheClassPathWithoutTheFlag(String launch, boolean warnsFrom24) throws Exception {
        String output = run((JAVA + " -Djava.io.tmpdir=" + Files.createDirectories(scratch.resolve("tmp")) + " "
            + launch.replace("JAR", jarOf(PortHandlerIO.class).toString()) + " probe COM1 --root " + System.getProperty("varnel.sim.root")).split(" "));
        assertTrue(output.startsWith("exit 0\n"), output);
        assertEquals(warnsFrom24 && Runtime.version().feature() >= 24, output.contains("WARNING: A restricted method"), output);
    }
}
