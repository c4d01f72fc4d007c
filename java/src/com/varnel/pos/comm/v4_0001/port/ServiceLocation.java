package com.varnel.pos.comm.v4_0001.port;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * Where the library looks for the port service, as far as Java knows the install root, and what
 * is wrong with the files found there: the explanation of an Open that found no service.
 */
final class ServiceLocation {
    private static final String DEFAULT_DIRECTORY = "/opt/varnel_dcx/relayhost/";
    private static final String ROOT_DIRECTORY = "/varnel_dcx/relayhost/";
    private static final String[] LIBRARIES = {"libdcxif.so", "libportconfig.so"};

    private static volatile String root = "";  // as last set through DevicePort

    private ServiceLocation() {}

    static void setRoot(String value) {
        root = value;
    }

    /** The library's path rule: the root joined as it stands, or the default directory. */
    static String path(String rootValue, String library) {
        return (rootValue.isEmpty() ? DEFAULT_DIRECTORY : rootValue + ROOT_DIRECTORY) + library;
    }

    /** Explains a {@link ResultCode#SERVICE_NOT_AVAILABLE} from Open. */
    static String explain() {
        String current = root;
        StringBuilder text = new StringBuilder(current.isEmpty()
                ? "no install root set, so the default directory " + DEFAULT_DIRECTORY
                : "install root " + current + ", so " + current + ROOT_DIRECTORY);
        text.append(" (as set through DevicePort.setInstallRoot)");
        boolean found = true;
        for (String library : LIBRARIES) {
            String path = path(current, library);
            String problem = problem(Paths.get(path));
            if (problem != null) {
                text.append("; ").append(path).append(": ").append(problem);
                found = false;
            }
        }
        if (found) {
            text.append(": both service libraries are there and are x86-64 ELF shared libraries, so one failed to "
                    + "load (a library it needs?), lacks a function the bridge needs, or the service answered "
                    + "0x80000001 itself");
        }
        return text.toString();
    }

    /** What is wrong with a service library file as far as Java can tell, or null. */
    static String problem(Path file) {
        if (!Files.exists(file)) return "no such file";
        if (!Files.isRegularFile(file)) return "not a regular file";
        if (!Files.isReadable(file)) return "not readable";
        byte[] header = new byte[20];
        int n = 0;
        try (InputStream in = Files.newInputStream(file)) {
            for (int r; n < header.length && (r = in.read(header, n, header.length - n)) > 0; n += r) {
                // fills the header
            }
        } catch (IOException e) {
            return "cannot be read: " + e.getMessage();
        }
        if (n < header.length || header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
            return "not an ELF file";
        }
        // ELFCLASS64, little-endian, ET_DYN, EM_X86_64 (62).
        if (header[4] != 2 || header[5] != 1) return "not a 64-bit little-endian ELF file";
        if (header[16] != 3 || header[17] != 0) return "an ELF file but not a shared library";
        if (header[18] != 62 || header[19] != 0) return "an ELF shared library for another machine (not x86-64)";
        return null;
    }
}
