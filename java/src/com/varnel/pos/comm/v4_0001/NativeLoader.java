package com.varnel.pos.comm.v4_0001;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.DigestInputStream;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;

/**
 * Loads libVarnelPHJNI.so for {@link PortHandlerIO}: the file named by a system property, else
 * the library on {@code java.library.path}, else the copy this jar carries, extracted to a private
 * file. Every place tried is reported when none works.
 */
final class NativeLoader {
    static final String LIBRARY_PROPERTY = "com.varnel.pos.comm.library";
    static final String EXTRACT_DIR_PROPERTY = "com.varnel.pos.comm.extractDir";
    private static final String NAME = "VarnelPHJNI";
    private static final String RESOURCE = "/native/linux-x86_64/lib" + NAME;

    /** Where the library was loaded from, for diagnostics: a file, or "java.library.path". */
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
        try {
            System.loadLibrary(NAME);
            loadedFrom = "java.library.path";
            return;
        } catch (UnsatisfiedLinkError e) {
            failures.add("java.library.path=" + System.getProperty("java.library.path") + ": "
                    + e.getMessage());
        }
        // The temporary directory first; a second directory for systems whose temporary
        // directory is mounted noexec, where loading the extracted copy fails.
        String chosen = System.getProperty(EXTRACT_DIR_PROPERTY);
        Path fallback = chosen != null && !chosen.isEmpty()
                ? Paths.get(chosen)
                : Paths.get(System.getProperty("user.home"), ".cache", "varnel-porthandler");
        for (Path directory : new Path[] {Paths.get(System.getProperty("java.io.tmpdir")), fallback}) {
            String place = "copy in the jar extracted to " + directory;
            try {
                Path file = extract(directory);
                if (tryLoad(place, file.toString(), failures)) {
                    return;
                }
                Files.deleteIfExists(file);
            } catch (IOException | RuntimeException e) {
                failures.add(place + ": " + e);
            }
        }
        StringBuilder message = new StringBuilder("cannot load lib" + NAME + ".so; tried:");
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

    /**
     * Writes the jar's copy to a new owner-only file in {@code directory} and checks it against
     * the size and SHA-256 digest recorded when the jar was built.
     */
    private static Path extract(Path directory) throws IOException {
        Properties expected = new Properties();
        try (InputStream in = open(RESOURCE + ".properties")) {
            expected.load(in);
        }
        Files.createDirectories(directory, PosixFilePermissions.asFileAttribute(
                PosixFilePermissions.fromString("rwx------")));
        Path file = Files.createTempFile(directory, "lib" + NAME + "-", ".so",
                PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------")));
        file.toFile().deleteOnExit();
        try {
            try (InputStream in = open(RESOURCE + ".so")) {
                Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
            }
            String size = Long.toString(Files.size(file));
            String digest = sha256(file);
            if (!size.equals(expected.getProperty("size"))
                    || !digest.equals(expected.getProperty("sha256"))) {
                throw new IOException("extracted copy " + file + " has size " + size + " and SHA-256 "
                        + digest + ", the jar recorded " + expected.getProperty("size") + " and "
                        + expected.getProperty("sha256"));
            }
            return file;
        } catch (IOException | RuntimeException e) {
            Files.deleteIfExists(file);
            throw e;
        }
    }

    private static InputStream open(String resource) throws IOException {
        InputStream in = NativeLoader.class.getResourceAsStream(resource);
        if (in == null) {
            throw new IOException("the jar holds no " + resource);
        }
        return in;
    }

    private static String sha256(Path file) throws IOException {
        try (DigestInputStream in = new DigestInputStream(Files.newInputStream(file),
                     MessageDigest.getInstance("SHA-256"))) {
            byte[] buffer = new byte[8192];
            while (in.read(buffer) >= 0) {
                // reading is what feeds the digest
            }
            StringBuilder hex = new StringBuilder();
            for (byte b : in.getMessageDigest().digest()) hex.append(String.format("%02x", b));
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);  // every JVM provides SHA-256
        }
    }
}
