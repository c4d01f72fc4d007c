package com.varnel.pos.comm.v4_0001;

import static com.varnel.pos.comm.v4_0001.PortHandlerIO.*;
import static org.junit.jupiter.api.Assertions.*;

import java.io.File;
import java.nio.file.*;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.*;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Child JVMs with only the jar and these classes on their class path, and an empty library path (so
 * that no installed copy can stand in for the jar's). */
class NativeLoadingTest {
    @TempDir Path scratch;

    /** The child's program: echoes bytes through a port of the simulator root args[0], then waits when args[1] is not empty. */
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
            if (args.length > 1 && !args[1].isEmpty()) Thread.sleep(60_000);
        }
    }

    /** The child's program: extracts the jar's copy to args[0] and prints the permissions it got. */
    static final class Extract {
        public static void main(String[] args) throws Exception {
            NativeLoader.extract(Paths.get(args[0]));
            System.out.println(PosixFilePermissions.toString(Files.getPosixFilePermissions(Paths.get(args[0]))));
        }
    }

    private static final String JAVA = Paths.get(System.getProperty("java.home"), "bin", "java").toString();

    /** Starts main in a child JVM, under the umask when not null; options before the class, then args. */
    private Process start(String umask, List<String> options, Class<?> main, String... args) throws Exception {
        // Native access enabled: no restricted-method warning on Java 24+ in the output checked.
        List<String> command = new ArrayList<>(List.of(JAVA, "-Djava.library.path=" + Files.createDirectories(scratch.resolve("empty")),
            "--enable-native-access=ALL-UNNAMED"));
        command.addAll(options);
        command.addAll(List.of("-cp", jarOf(PortHandlerIO.class) + File.pathSeparator + jarOf(Echo.class), main.getName()));
        command.addAll(List.of(args));
        if (umask != null) command.addAll(0, List.of("sh", "-c", "umask " + umask + " && exec \"$@\"", "sh"));
        return new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(scratch.resolve("out").toFile()).start();
    }

    private String run(String... command) throws Exception {
        return finish(new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(scratch.resolve("out").toFile()).start());
    }

    /** Runs Echo to its end with these options; returns its exit status and output. */
    private String child(String... options) throws Exception {
        return finish(start(null, List.of(options), Echo.class, System.getProperty("varnel.sim.root")));
    }

    /** Waits until the child has printed the text, then ends it: SIGKILL, or SIGTERM (which runs shutdown hooks as Ctrl-C does). */
    private String stopAfter(String text, Process process, boolean kill) throws Exception {
        for (long end = System.nanoTime() + 60_000_000_000L; !Files.readString(scratch.resolve("out")).contains(text); Thread.sleep(20))
            assertTrue(System.nanoTime() < end && process.isAlive(), Files.readString(scratch.resolve("out")));
        if (kill) process.destroyForcibly(); else process.destroy();
        return finish(process);
    }

    private String finish(Process process) throws Exception {
        assertTrue(process.waitFor(60, TimeUnit.SECONDS), "child JVM still running after 60 s");
        return "exit " + process.exitValue() + "\n" + Files.readString(scratch.resolve("out"));
    }

    private static Path jarOf(Class<?> type) throws Exception {
        return Paths.get(type.getProtectionDomain().getCodeSource().getLocation().toURI());
    }

    @ParameterizedTest
    @CsvSource({"false", "true"})
    void jarAloneLoadsItsCopyFromAPrivateDirectoryAndLeavesNothingEvenWhenKilled(boolean killed) throws Exception {
        Path tmp = Files.createDirectories(scratch.resolve("tmp"));
        Process process = start(null, List.of("-Djava.io.tmpdir=" + tmp), Echo.class, System.getProperty("varnel.sim.root"), killed ? "stay" : "");
        String output = killed ? stopAfter("loaded", process, true) : finish(process);  // SIGKILL: no hook, no deleteOnExit runs
        assertTrue(output.matches("(?s)exit " + (killed ? 137 : 0) + "\nloaded " + Pattern.quote(tmp + "/varnel-porthandler-")
            + "\\d+/libVarnelPHJNI.so\n"), output);
        assertArrayEquals(new String[0], tmp.toFile().list(), "left behind");
    }

    @Test
    void consoleListenInterruptedPrintsItsSummaryAndClosesThePort() throws Exception {
        Process process = start(null, List.of(), com.varnel.pos.comm.v4_0001.console.PortConsole.class, "listen", "COM1",
            "--root", System.getProperty("varnel.sim.root"));
        String output = stopAfter("listening on COM1", process, false);
        assertTrue(output.matches("(?s)exit 143\n.*listening on COM1\n\\S+  0 bytes received\nClose +-> SUCCESS \\(0\\)\n"), output);
    }

    @ParameterizedTest
    @CsvSource({"022", "002", "000"})
    void theExtractedCopyIsOwnerOnlyWhateverTheUmask(String umask) throws Exception {
        String output = finish(start(umask, List.of(), Extract.class, scratch.resolve("copy.so").toString()));
        assertEquals("exit 0\nrw-------\n", output);
    }

    @Test
    void aLinkPlantedWhereTheCopyGoesIsNotFollowed() throws Exception {
        Path target = Files.writeString(scratch.resolve("target"), "victim"), link = scratch.resolve("copy.so");
        Files.createSymbolicLink(link, target);
        assertTrue(finish(start(null, List.of(), Extract.class, link.toString())).contains("FileAlreadyExistsException"));
        assertEquals("victim", Files.readString(target));
    }

    // A noexec mount needs privileges a test machine may lack. A temporary directory that is a
    // plain file fails one step earlier (making the private directory instead of mapping the copy),
    // and both failures take the loader to its second directory, which must be private.
    @ParameterizedTest
    @CsvSource(delimiter = ';', value = {"absent; loaded CACHE/varnel-porthandler-",
        "rwx------; loaded CACHE/varnel-porthandler-", "rwxr-xr-x; its mode is 755, not 700 (it must be",
        "rwx---rwx; its mode is 707, not 700", "link; it is a symbolic link"})
    void theFallbackDirectoryIsUsedOnlyWhenPrivate(String state, String expected) throws Exception {
        Path file = Files.createFile(scratch.resolve("file")), cache = scratch.resolve("cache/varnel");
        if (state.equals("link")) Files.createSymbolicLink(Files.createDirectories(cache.getParent()).resolve("varnel"),
            Files.createDirectory(scratch.resolve("elsewhere"), PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"))));
        else if (!state.equals("absent")) Files.setPosixFilePermissions(Files.createDirectories(cache), PosixFilePermissions.fromString(state));
        String output = child("-Djava.io.tmpdir=" + file, "-D" + NativeLoader.EXTRACT_DIR_PROPERTY + "=" + cache);
        assertTrue(output.contains(expected.replace("CACHE", cache.toString())), output);
        if (output.startsWith("exit 0")) {
            assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(cache)));
            assertArrayEquals(new String[0], cache.toFile().list(), "left behind");
        }
    }

    @ParameterizedTest
    @CsvSource({"false", "true"})
    void aLibraryOnTheLibraryPathIsLoadedWithAWarningNamingBothUnlessItIsTheJarsBuild(boolean changed) throws Exception {
        // The build tree's library, as packages install it; one byte more makes it another build.
        Path installed = Files.copy(Paths.get(System.getProperty(NativeLoader.LIBRARY_PROPERTY)),
            Files.createDirectories(scratch.resolve("lib")).resolve("libVarnelPHJNI.so"));
        if (changed) Files.write(installed, new byte[1], StandardOpenOption.APPEND);
        String output = child("-Djava.library.path=" + installed.getParent());
        assertEquals(changed, output.contains("WARNING: " + installed + " found on java.library.path is loaded, but it is not the build in "
            + jarOf(PortHandlerIO.class) + " (size " + Files.size(installed) + ", SHA-256 (not computed); the jar's build: size "
            + (Files.size(installed) - 1)), output);
        assertTrue(output.endsWith("loaded " + installed + "\n") && !output.contains("cannot compare"), output);
    }

    @Test
    void whenEveryPlaceFailsTheErrorListsEachWithItsReason() throws Exception {
        Path file = Files.createFile(scratch.resolve("file")), missing = scratch.resolve("missing.so");
        String output = child("-D" + NativeLoader.LIBRARY_PROPERTY + "=" + missing, "-Djava.io.tmpdir=" + file,
            "-D" + NativeLoader.EXTRACT_DIR_PROPERTY + "=" + file.resolve("under-a-file"));
        for (String place : new String[] {"UnsatisfiedLinkError: cannot load libVarnelPHJNI.so; tried:",
                 "\n  " + NativeLoader.LIBRARY_PROPERTY + "=" + missing + ": Can't load library: " + missing,
                 "\n  java.library.path=" + scratch.resolve("empty") + ": no libVarnelPHJNI.so",
                 "\n  copy in the jar extracted under " + file + ": java.nio.file.",
                 "\n  copy in the jar extracted under " + file.resolve("under-a-file") + ": java.nio.file."}) {
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
