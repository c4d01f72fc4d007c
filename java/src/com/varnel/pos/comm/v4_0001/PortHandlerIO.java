package com.varnel.pos.comm.v4_0001;

/**
 * Native access to the Varnel port service: open a device port, exchange bytes with the device,
 * read and write its properties, pass control requests and poll device power.
 *
 * <p>Every method returns an int and never throws. Unless a method says otherwise, the result is
 * a bridge result code: 0 for success, a negative value for a failure (-1 bad handle, -3 bad
 * argument, -4 not supported, -5 service not available, -7 receive buffer overflow, -100 an
 * unexpected service result; the others are the service's own failures).
 *
 * <p>A native handle is the {@code long} that {@link #Open} stores in element 0 of its holder. It
 * is valid until {@link #Close}, and a closed handle is never handed out again while the process
 * lives: a handle that was closed, or never opened, gets -1 from every method (as handle 0 does),
 * so a second Close or a call after Close is refused, never followed into freed memory. A Close
 * does not wait for other calls on the same handle, not even a Write held in the service: it
 * closes the port in the service at once (which ends such a send), calls already running finish
 * against the live port, and calls that start after the Close began get -1. Calls may run on any
 * threads, on the same handle or on different ones.
 *
 * <p>The native library is loaded, at the first use of the class, from the path in the system
 * property {@code com.varnel.pos.comm.library} when set, else as {@code libVarnelPHJNI.so} from
 * the first directory of {@code java.library.path} that holds one (a build other than the jar's
 * own is loaded all the same, with a warning naming both on the {@code java.util.logging} logger
 * {@code com.varnel.pos.comm.v4_0001.NativeLoader}), else from the copy inside this jar. That copy
 * is written to a fresh directory only its owner may enter, under {@code java.io.tmpdir}, checked
 * against the size and SHA-256 recorded in the jar, loaded, and removed with its directory at
 * once, so that no copy outlives the JVM, however it ends. Where loading from there fails (a
 * temporary directory mounted noexec, which the error then says), the same is done under {@code
 * ~/.cache/varnel-porthandler} or the directory named by the system property {@code
 * com.varnel.pos.comm.extractDir}, used only when it is the user's own, mode 700 and no symbolic
 * link. When every place fails, the UnsatisfiedLinkError lists each with its error.
 */
public final class PortHandlerIO {
    static {
        NativeLoader.load();
    }

    private PortHandlerIO() {}

    /**
     * Opens and locks a port of the port service and starts receiving its data.
     *
     * @param serviceURL the service URL; null or empty for the local service
     * @param portName the port to open (required)
     * @param deviceType the device type, passed to the service unchanged (2: the XJ role)
     * @param handle receives the native handle in element 0 on success, and is left untouched on
     *     failure (required, at least one element)
     * @return 0, or a bridge result code: -5 when the port service cannot be loaded
     */
    public static native int Open(String serviceURL, String portName, int deviceType, long[] handle);

    /**
     * Closes a port. The handle is invalid afterwards whatever the result: closing it again, or
     * any other call with it, returns -1.
     *
     * @param handle a native handle from {@link #Open}
     * @return 0, or the bridge result code of the step that failed
     */
    public static native int Close(long handle);

    /**
     * Sends bytes to the device.
     *
     * <p>What the library guarantees: {@code data} is pinned whole for the call and handed to
     * the service, the two ints are passed to the service unchanged (in swapped order: the
     * service receives {@code timeout}, then {@code length}), and whatever the service leaves
     * in the array is copied back. The library does not interpret either int, so it cannot
     * check either against {@code data.length}: reading {@code length} as the byte count and
     * {@code timeout} as a timeout in milliseconds is how the port-service simulator reads them,
     * not a promise of the library. A caller that means a byte count must keep it within
     * {@code data.length} itself.
     *
     * @param handle a native handle
     * @param data the bytes to send (required)
     * @param length the service's first send argument (the simulator: the byte count)
     * @param timeout the service's second send argument (the simulator: a timeout in ms)
     * @param count receives the number of bytes sent in element 0, also when the send fails; may
     *     be null
     * @return 0, or a bridge result code
     */
    public static native int Write(long handle, byte[] data, int length, int timeout, int[] count);

    /**
     * Takes received bytes without waiting: copies at most {@code maximum} bytes (and never more
     * than {@code data.length}) of what the device has sent.
     *
     * @param handle a native handle
     * @param data receives the bytes (required)
     * @param maximum the most bytes to copy
     * @param count receives the number of bytes copied, 0 when none were waiting (required)
     * @return 0; -7 once after received data was lost because the buffer was full (the buffer
     *     is then emptied and {@code count} is not written)
     */
    public static native int Read(long handle, byte[] data, int maximum, int[] count);

    /**
     * Discards every received byte not yet read, and a pending overflow report.
     *
     * @param handle a native handle
     * @return 0, or -1 for handle 0
     */
    public static native int Clear(long handle);

    /**
     * Reads a port property.
     *
     * @param handle a native handle
     * @param id the property id
     * @param value receives the value in element 0 on success; may be null
     * @return 0, or a bridge result code
     */
    public static native int GetProperty(long handle, int id, long[] value);

    /**
     * Writes a port property.
     *
     * @param handle a native handle
     * @param selector1 the service's first selector
     * @param selector2 the service's second selector (the property id)
     * @param value the value
     * @return 0, or a bridge result code
     */
    public static native int SetProperty(long handle, int selector1, int selector2, long value);

    /**
     * Reads a device capability.
     *
     * @param handle a native handle
     * @param id the capability id
     * @param value receives the value in element 0 on success; may be null
     * @return 0, or a bridge result code
     */
    public static native int GetCapability(long handle, int id, long[] value);

    /**
     * Resets the device.
     *
     * @param handle a native handle
     * @param argument the service's reset argument
     * @return 0, or a bridge result code
     */
    public static native int ResetDevice(long handle, int argument);

    /**
     * Passes a control request. 0x40040002 reads property 6 as 8 little-endian bytes into
     * {@code output}; 0x60040002 writes it from the first 8 bytes of {@code input}; 0x40070009,
     * 0x4007000A and 0x4007000B get a binary, number or string custom value whose key is
     * {@code input}, and 0x6007000D, 0x6007000E and 0x6007000F set one from {@code output}; any
     * other code goes to the service's extension function.
     *
     * @param handle a native handle
     * @param code the request code
     * @param input the input bytes (the key of a custom value); may be null
     * @param inputLength the number of input bytes
     * @param output the output bytes; may be null
     * @param outputLength the number of output bytes (the capacity of a get)
     * @param count receives the number of output bytes in element 0, on success and failure
     *     alike; may be null
     * @return 0, or a bridge result code (-3 for lengths beyond the arrays)
     */
    public static native int IOCtl(long handle, int code, byte[] input, int inputLength,
            byte[] output, int outputLength, int[] count);

    /**
     * Sets the install root from which the port service is loaded by later opens: its libraries
     * are then looked for in {@code <root>/varnel_dcx/relayhost/}. An empty root restores the
     * default directory {@code /opt/varnel_dcx/relayhost/}.
     *
     * @param root the directory's bytes, ending with a 0 byte
     * @return 0; -3 for a null array or a root too long to compose a library path from
     */
    public static native int SetDCXPath(byte[] root);

    /**
     * Asks a port's configuration for a capability before any port is open. Only capability 21,
     * power reporting, is answered.
     *
     * @param serviceURL the service URL
     * @param portName the port name
     * @param id the capability id (21)
     * @param argument the configuration's argument
     * @param value receives the value in element 0 (0 when the id is not 21); may be null
     * @return 0, or a bridge result code: -3 for an id other than 21, -100 when the power
     *     monitor cannot load the port service
     */
    public static native int GetPortCapability(String serviceURL, String portName, int id,
            int argument, int[] value);

    /**
     * Polls the power of the device on a power-reporting port (one whose name contains
     * "KOVLAN"), and takes the port lock again if the service reported it lost.
     *
     * @param handle a native handle
     * @return the power state, not a result code: 0, 3 or 4 for one device; for two chained
     *     devices 1 (first powered) + 2 (second powered); -1 when unknown or not monitored
     */
    public static native int checkOstrelPowerStatus(long handle);
}
