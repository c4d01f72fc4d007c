package com.varnel.pos.comm.v4_0001;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.channels.Channels;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.DigestInputStream;
import java.security.DigestOutputStream;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Properties;
import java.util.Set;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Loads libVarnelPHJNI.so for {@link PortHandlerIO}: the file named by a system property, else
 * the first one on {@code java.library.path}, else the copy this jar carries, extracted to a
 * private directory that is removed again right after loading. Every place tried is reported when
 * none works.
 */
final class NativeLoader {
    static final String LIBRARY_PROPERTY = "com.varnel.pos.comm.library";
    static final String EXTRACT_DIR_PROPERTY = "com.varnel.pos.comm.extractDir";
    private static final String NAME = "VarnelPHJNI";
    private static final String FILE = System.mapLibraryName(NAME);
    private static final String RESOURCE = "/native/linux-x86_64/lib" + NAME;
    private static final Logger LOG = Logger.getLogger(NativeLoader.class.getName());
    private static final FileAttribute<Set<PosixFilePermission>> OWNER_ONLY_DIRECTORY =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
    private static final FileAttribute<Set<PosixFilePermission>> OWNER_ONLY_FILE =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"));

    private static final Set<OpenOption> CREATE_NEW_NO_LINKS = new HashSet<>(Arrays.<OpenOption>asList(
            StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS));

    /** Where the library was loaded from, for diagnostics. */
    static String loadedFrom;

    private NativeLoader() {}

    static void load() {
        List<String> failures = new ArrayList<>();
        String path = System.getProperty(LIBRARY_PROPERTY);
        if (path != null && !path.isEmpty()) {
            if (tryLoad(LIBRARY_PROPERTY + "=" + path, path, failures)) {
                return;
            }
        }
        Path onLibraryPath = findOnLibraryPath();
        if (onLibraryPath == null) {
            failures.add("java.library.path=" + System.getProperty("java.library.path") + ": no " + FILE);
        } else {
            warnUnlessJarBuild(onLibraryPath);
            if (tryLoad("java.library.path", onLibraryPath.toString(), failures)) {
                return;
            }
        }
        // The temporary directory first; a second directory for systems whose temporary
        // directory is mounted noexec, where loading the extracted copy fails.
        String chosen = System.getProperty(EXTRACT_DIR_PROPERTY);
        Path fallback = chosen != null && !chosen.isEmpty()
                ? Paths.get(chosen)
                : Paths.get(System.getProperty("user.home"), ".cache", "varnel-porthandler");
        Path tmp = Paths.get(System.getProperty("java.io.tmpdir"));
        for (Path base : new Path[] {tmp, fallback}) {
            String place = "copy in the jar extracted under " + base;
            try {
                if (base == fallback) ensurePrivateDirectory(fallback);
                if (extractAndLoad(base, place, failures)) {
                    return;
                }
            } catch (IOException | RuntimeException e) {
                failures.add(place + ": " + e);
            }
        }
        StringBuilder message = new StringBuilder("cannot load " + FILE + "; tried:");
        for (String failure : failures) {
            message.append("\n  ").append(failure);
        }
        throw new UnsatisfiedLinkError(message.toString());
    }

    private static boolean tryLoad(String place, String file, List<String> failures) {
        try {
            System.load(file);
            loadedFrom = file;
            return true;
        } catch (UnsatisfiedLinkError e) {
            failures.add(place + ": " + e.getMessage());
            return false;
        }
    }

    /** The file the JVM's own search of java.library.path would find first, or null. */
    private static Path findOnLibraryPath() {
        String value = System.getProperty("java.library.path", "");
        for (String directory : value.split(File.pathSeparator)) {
            if (directory.isEmpty()) continue;
            Path file = Paths.get(directory, FILE);
            if (Files.isRegularFile(file)) return file.toAbsolutePath();
        }
        return null;
    }

    /**
     * An installed library wins over the jar's copy, as an administrator who put it there meant;
     * but a different build is said out loud, since the jar's classes were tested with their own.
     */
    private static void warnUnlessJarBuild(Path installed) {
        try {
            Properties expected = recorded();
            String size = Long.toString(Files.size(installed));
            // The jar's build is its stripped copy or the library as built, which packages install.
            String prefix = size.equals(expected.getProperty("size")) ? ""
                    : size.equals(expected.getProperty("built.size")) ? "built." : null;
            String digest = prefix != null ? sha256(installed) : "(not computed)";
            if (prefix != null && digest.equals(expected.getProperty(prefix + "sha256"))) {
                return;
            }
            LOG.warning(installed + " found on java.library.path is loaded, but it is not the build in "
                    + jarLocation() + " (size " + size + ", SHA-256 " + digest + "; the jar's build: size "
                    + expected.getProperty("built.size") + ", SHA-256 " + expected.getProperty("built.sha256")
                    + ", its copy without debug sections: size " + expected.getProperty("size") + ", SHA-256 "
                    + expected.getProperty("sha256") + ")");
        } catch (IOException | RuntimeException e) {
            LOG.log(Level.WARNING, "cannot compare " + installed + " with the jar's copy", e);
        }
    }

    private static String jarLocation() {
        try {
            return Paths.get(NativeLoader.class.getProtectionDomain().getCodeSource().getLocation().toURI())
                    .toString();
        } catch (Exception e) {
            return "this jar";
        }
    }

    /**
     * A fallback directory that exists is used only when this user owns it, only the owner may
     * enter it and it is no symbolic link: anyone else could otherwise swap the copy between its
     * check and its load. A missing one is created so.
     */
    private static void ensurePrivateDirectory(Path directory) throws IOException {
        if (!Files.exists(directory, LinkOption.NOFOLLOW_LINKS)) {
            Files.createDirectories(directory, OWNER_ONLY_DIRECTORY);
        }
        List<String> wrong = new ArrayList<>();
        if (Files.isSymbolicLink(directory)) {
            wrong.add("it is a symbolic link");
        } else if (!Files.isDirectory(directory, LinkOption.NOFOLLOW_LINKS)) {
            wrong.add("it is not a directory");
        } else {
            // /proc/self belongs to the process's effective user: no native call needed for the uid.
            Object me = Files.getAttribute(Paths.get("/proc/self"), "unix:uid");
            Object owner = Files.getAttribute(directory, "unix:uid", LinkOption.NOFOLLOW_LINKS);
            int mode = (Integer) Files.getAttribute(directory, "unix:mode", LinkOption.NOFOLLOW_LINKS) & 07777;
            if (!owner.equals(me)) wrong.add("it belongs to uid " + owner + ", not to uid " + me);
            if (mode != 0700) wrong.add("its mode is " + Integer.toOctalString(mode) + ", not 700");
        }
        if (!wrong.isEmpty()) {
            throw new IOException("not used: " + String.join(" and ", wrong)
                    + " (it must be this user's own directory, mode 700, not a symbolic link)");
        }
    }

    /**
     * Writes the jar's copy into a fresh owner-only directory under {@code base}, checks it, loads
     * it and removes both at once: a mapped library needs no name, and a JVM that is killed
     * afterwards leaves nothing behind.
     */
    private static boolean extractAndLoad(Path base, String place, List<String> failures) throws IOException {
        Path directory = Files.createTempDirectory(base, "varnel-porthandler-", OWNER_ONLY_DIRECTORY);
        Path file = directory.resolve(FILE);
        try {
            extract(file);
            try {
                System.load(file.toString());
                loadedFrom = file.toString();
                return true;
            } catch (UnsatisfiedLinkError e) {
                failures.add(place + ": " + e.getMessage() + noexecNote(directory));
                return false;
            }
        } finally {
            Files.deleteIfExists(file);
            Files.deleteIfExists(directory);
        }
    }

    /**
     * Creates {@code file} owner-only, never through a link, and writes the jar's copy to it,
     * hashing the bytes as they are written: what is checked is what was written, not what a
     * second open would read.
     */
    static void extract(Path file) throws IOException {
        Properties expected = recorded();
        MessageDigest digest = sha256Digest();
        long size = 0;
        try (InputStream in = open(RESOURCE + ".so");
             OutputStream out = new DigestOutputStream(Channels.newOutputStream(Files.newByteChannel(file,
                     CREATE_NEW_NO_LINKS, OWNER_ONLY_FILE)), digest)) {
            byte[] buffer = new byte[65536];
            for (int n; (n = in.read(buffer)) >= 0; size += n) {
                out.write(buffer, 0, n);
            }
        }
        String hex = hex(digest.digest());
        if (!Long.toString(size).equals(expected.getProperty("size")) || !hex.equals(expected.getProperty("sha256"))) {
            throw new IOException("extracted copy " + file + " has size " + size + " and SHA-256 " + hex
                    + ", the jar recorded " + expected.getProperty("size") + " and " + expected.getProperty("sha256"));
        }
    }

    /** Says so when the directory lies on a file system mounted noexec, where nothing can be mapped. */
    private static String noexecNote(Path directory) {
        Path real;
        try {
            real = directory.getParent().toRealPath();
        } catch (IOException e) {
            return "";
        }
        String mountPoint = null;
        boolean noexec = false;
        try (BufferedReader lines = Files.newBufferedReader(Paths.get("/proc/self/mountinfo"), StandardCharsets.UTF_8)) {
            for (String line; (line = lines.readLine()) != null; ) {
                String[] fields = line.split(" ");
                if (fields.length < 6) continue;
                String point = fields[4].replace("\\040", " ");
                // The longest mount point containing the directory is its file system; a later
                // mount on the same point hides an earlier one.
                if (real.startsWith(point) && (mountPoint == null || point.length() >= mountPoint.length())) {
                    mountPoint = point;
                    noexec = ("," + fields[5] + ",").contains(",noexec,");
                }
            }
        } catch (IOException e) {
            return "";
        }
        return noexec ? " (" + real + " is on " + mountPoint + ", mounted noexec: no library can be loaded from it; "
                + "set " + EXTRACT_DIR_PROPERTY + " to a directory on another file system)" : "";
    }

    private static Properties recorded() throws IOException {
        Properties expected = new Properties();
        try (InputStream in = open(RESOURCE + ".properties")) {
            expected.load(in);
        }
        return expected;
    }

    private static InputStream open(String resource) throws IOException {
        InputStream in = NativeLoader.class.getResourceAsStream(resource);
        if (in == null) {
            throw new IOException("the jar holds no " + resource);
        }
        return in;
    }

    private static MessageDigest sha256Digest() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);  // every JVM provides SHA-256
        }
    }

    private static String sha256(Path file) throws IOException {
        try (DigestInputStream in = new DigestInputStream(Files.newInputStream(file), sha256Digest())) {
            byte[] buffer = new byte[65536];
            while (in.read(buffer) >= 0) {
                // reading is what feeds the digest
            }
            return hex(in.getMessageDigest().digest());
        }
    }

    private static String hex(byte[] bytes) {
        StringBuilder hex = new StringBuilder();
        for (byte b : bytes) hex.append(String.format("%02x", b));
        return hex.toString();
    }
}
