package com.varnel.pos.comm.v4_0001.port;

import com.varnel.pos.comm.v4_0001.PortHandlerIO;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.Arrays;
import java.util.Objects;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.concurrent.TimeoutException;
import java.util.function.LongToIntFunction;

/**
 * An open device port: the native methods of {@link PortHandlerIO} for one handle, with
 * exceptions for failures, bounds checked in Java, and a handle that cannot outlive {@link
 * #close()}.
 *
 * <pre>{@code
 * DevicePort.setInstallRoot("/opt");  // only when the port service is not in the default place
 * try (DevicePort port = DevicePort.open("", "COM1", 1)) {
 *     port.write("hello".getBytes(StandardCharsets.US_ASCII));
 *     byte[] answer = new byte[5];
 *     port.readFully(answer, Duration.ofSeconds(1));
 * }
 * }</pre>
 *
 * <p>A failing native call throws {@link PortException} with its {@link ResultCode}; argument
 * errors found in Java throw the usual unchecked exceptions before any native call.
 *
 * <p>Thread safety: every method may be called from any thread, concurrently with any other
 * method on the same port, {@link #close()} included. Calls run side by side, as the library
 * allows. A close does not wait for the calls in progress, not even a write blocked in the
 * service: it marks the port closed at once and closes it in the library, which refuses the
 * closed handle from then on; a call that meets the close throws {@link IllegalStateException},
 * as does every later call. Concurrent readers share one stream: each received byte goes to
 * exactly one of them.
 *
 * <p>A port that is never closed is closed when it becomes unreachable, with a warning naming it
 * on the logger named for this package. Writes and reads are traced there as hex dumps at level
 * {@link java.util.logging.Level#FINEST}.
 * <p>Receiving: {@link #read(byte[], int, int)} takes what is there; {@link #read(byte[], int,
 * int, Duration)} and {@link #readFully} wait; {@link #getInputStream()} waits with the port's
 * {@link #setReadTimeout read timeout}; data listeners ({@link #addDataListener(DataListener)} and
 * its overloads) are called with every block, message or packet. While a port has data
 * listeners they get all its data, and reads throw {@link IllegalStateException}. Waiting reads
 * and listeners are served by one thread for the whole JVM, which polls the ports that need it:
 * see {@link #setReceivePolling}.
 */
public final class DevicePort implements AutoCloseable {
    /** Write timeout of a new port. */
    public static final Duration DEFAULT_WRITE_TIMEOUT = Duration.ofSeconds(1);
    /** How often, at most, listeners and waiting readers are served when the ports are quiet. */
    public static final Duration DEFAULT_POLL_INTERVAL = Duration.ofMillis(1);
    /** How long the ports are polled without a pause after a write or after data. */
    public static final Duration DEFAULT_HOT_WINDOW = Duration.ofMillis(5);
    /** How often the power state of a port with power listeners is polled. */
    public static final Duration POWER_POLL_INTERVAL = Duration.ofMillis(100);

    // Custom-value request codes of IOCtl.
    private static final int GET_BINARY = 0x40070009;
    private static final int GET_NUMBER = 0x4007000A;
    private static final int GET_STRING = 0x4007000B;
    private static final int SET_BINARY = 0x6007000D;
    private static final int SET_NUMBER = 0x6007000E;
    private static final int SET_STRING = 0x6007000F;
    /** Capacity of the first try of a string or binary get without one. */
    private static final int FIRST_CAPACITY = 256;
    /** The port capability the library answers before any open: power reporting. */
    private static final int POWER_REPORTING = 21;
    /** Largest capacity a get without one grows to. */
    public static final int MAX_VALUE_CAPACITY = 1 << 20;

    private final String serviceUrl;
    private final String portName;
    private final int deviceType;
    // Volatile so that the read after each native call keeps this port reachable until the call
    // has returned (Java 8 has no reachabilityFence): the reaper must not close it under the call.
    private volatile NativeHandle handle;
    private final PortReaper.Watch reaper;
    private volatile Duration writeTimeout = DEFAULT_WRITE_TIMEOUT;
    private volatile Duration readTimeout = Duration.ZERO;
    private final PortWatch watch;  // every read goes through it, to its receive buffer

    private DevicePort(long handle, String serviceUrl, String portName, int deviceType) {
        this.handle = new NativeHandle(handle, portName);
        this.serviceUrl = serviceUrl;
        this.portName = portName;
        this.deviceType = deviceType;
        this.reaper = PortReaper.watch(this, this.handle);
        this.watch = new PortWatch(portName, new ReceiveBuffer(this::read), this::powerState);
    }

    /**
     * Sets how the ports with listeners or waiting readers are polled. For the hot window after a
     * write on a port or data from it, the port is polled without pausing (by the JVM's one
     * receive thread for its listeners, by a waiting reader for itself); otherwise the receive
     * thread parks between polls for spells growing up to the interval. So data that answers a
     * write within the hot window is seen within microseconds, other data within about the
     * interval. A hot window costs about its length in CPU time. Process-wide; safe from any
     * thread.
     *
     * @param interval the longest pause between polls, from 10 us to 1 s; default {@link
     *     #DEFAULT_POLL_INTERVAL}
     * @param hotWindow zero or positive, at most 1 min; default {@link #DEFAULT_HOT_WINDOW}
     */
    public static void setReceivePolling(Duration interval, Duration hotWindow) {
        if (interval.compareTo(Duration.ofNanos(10_000)) < 0 || interval.compareTo(Duration.ofSeconds(1)) > 0
                || hotWindow.isNegative() || hotWindow.compareTo(Duration.ofMinutes(1)) > 0) {
            throw new IllegalArgumentException("interval " + interval + " or hot window " + hotWindow);
        }
        Dispatcher.INSTANCE.configure(interval.toNanos(), hotWindow.toNanos());
    }

    /**
     * Sets the install root the port service is loaded from by later opens: its libraries are
     * looked for in {@code <root>/varnel_dcx/relayhost/}; an empty root restores the default
     * {@code /opt/varnel_dcx/relayhost/}.
     *
     * <p>Process-wide; safe from any thread, and takes effect at the next open.
     *
     * @param root the install root
     * @throws PortException {@link ResultCode#BAD_ARGUMENT} when the root is too long
     */
    public static void setInstallRoot(String root) {
        byte[] bytes = root.getBytes(StandardCharsets.UTF_8);
        check("SetDCXPath", PortHandlerIO.SetDCXPath(Arrays.copyOf(bytes, bytes.length + 1)));
        ServiceLocation.setRoot(root);
    }

    /**
     * Opens and locks a port and starts receiving its data.
     *
     * <p>Safe from any thread; each open gives a port of its own.
     *
     * @param serviceUrl the service URL; null or empty for the local service
     * @param portName the port name
     * @param deviceType the device type, passed to the service unchanged
     * @return the open port
     * @throws PortException when the library or the service refuses; for {@link
     *     ResultCode#SERVICE_NOT_AVAILABLE} the message names the install root in effect (as set
     *     through {@link #setInstallRoot}), the library paths it gives, and what is wrong with
     *     those files as far as Java can tell
     */
    public static DevicePort open(String serviceUrl, String portName, int deviceType) {
        Objects.requireNonNull(portName, "portName");
        long[] holder = {0};
        int result = PortHandlerIO.Open(serviceUrl, portName, deviceType, holder);
        if (result == ResultCode.SERVICE_NOT_AVAILABLE.code()) {
            throw new PortException("Open", ResultCode.SERVICE_NOT_AVAILABLE, ServiceLocation.explain());
        }
        check("Open", result);
        return new DevicePort(holder[0], serviceUrl, portName, deviceType);
    }

    /**
     * Asks a port's configuration, before or without opening it, whether it reports power:
     * capability 21, the only one the library answers this way. The library passes the
     * configuration's value on without giving it a meaning; whether a power-reporting port
     * carries one device or two chained ones is the configuration's other setting, which the
     * library reads at open and shows only in the values {@link #powerState()} takes (see
     * {@link PowerState}).
     *
     * <p>Safe from any thread.
     *
     * @param serviceUrl the service URL; null or empty for the local service
     * @param portName the port name
     * @param argument the configuration's argument, passed on unchanged
     * @return the configuration's value of capability 21
     * @throws PortException when the configuration refuses, or {@link ResultCode#UNEXPECTED} when
     *     the library cannot load the port service for it
     */
    public static int powerReportingCapability(String serviceUrl, String portName, int argument) {
        Objects.requireNonNull(portName, "portName");
        int[] value = {0};
        check("GetPortCapability", PortHandlerIO.GetPortCapability(serviceUrl == null ? "" : serviceUrl, portName,
                POWER_REPORTING, argument, value));
        return value[0];
    }

    /**
     * The port name it was opened with. Safe from any thread.
     *
     * @return the port name
     */
    public String portName() {
        return portName;
    }

    /**
     * The service URL it was opened with. Safe from any thread.
     *
     * @return the service URL, possibly null
     */
    public String serviceUrl() {
        return serviceUrl;
    }

    /**
     * The device type it was opened with. Safe from any thread.
     *
     * @return the device type
     */
    public int deviceType() {
        return deviceType;
    }

    /**
     * Whether the port is still open. Safe from any thread; a close may follow at once.
     *
     * @return false once {@link #close()} has begun its work
     */
    public boolean isOpen() {
        return handle.isOpen();
    }

    /**
     * Sets the timeout of the writes that take none. Safe from any thread; writes already
     * started keep theirs.
     *
     * @param timeout zero or positive, at most {@code Integer.MAX_VALUE} ms
     */
    public void setWriteTimeout(Duration timeout) {
        timeoutMillis(timeout);  // refuses a bad one now rather than at the next write
        writeTimeout = timeout;
    }

    /**
     * The timeout of the writes that take none. Safe from any thread.
     *
     * @return the timeout
     */
    public Duration writeTimeout() {
        return writeTimeout;
    }

    /**
     * Sends a whole array with the port's write timeout. Safe from any thread.
     *
     * @param data the bytes to send
     * @return the number of bytes the service sent
     * @throws PortException when the send fails
     * @throws IllegalStateException when the port is closed
     */
    public int write(byte[] data) {
        return write(data, 0, data.length, writeTimeout);
    }

    /**
     * Sends part of an array with the port's write timeout. Safe from any thread.
     *
     * @param data the array
     * @param offset the first byte to send
     * @param length the number of bytes to send
     * @return the number of bytes the service sent
     * @throws IndexOutOfBoundsException when the range does not lie within the array
     * @throws PortException when the send fails
     * @throws IllegalStateException when the port is closed
     */
    public int write(byte[] data, int offset, int length) {
        return write(data, offset, length, writeTimeout);
    }

    /**
     * Sends part of an array. The range is checked here, before any native call: the library
     * passes the length to the service without comparing it with the array. Safe from any
     * thread; concurrent writes each reach the service as one send, in the order the service
     * takes them.
     *
     * @param data the array
     * @param offset the first byte to send
     * @param length the number of bytes to send
     * @param timeout how long the service may take, at most {@code Integer.MAX_VALUE} ms
     * @return the number of bytes the service sent
     * @throws IndexOutOfBoundsException when the range does not lie within the array
     * @throws IllegalArgumentException when the timeout is negative or too long
     * @throws PortException when the send fails
     * @throws IllegalStateException when the port is closed
     */
    public int write(byte[] data, int offset, int length, Duration timeout) {
        checkRange(data, offset, length);
        int millis = timeoutMillis(timeout);
        // The library sends from the start of the array it is given.
        byte[] bytes = offset == 0 ? data : Arrays.copyOfRange(data, offset, offset + length);
        int[] count = {0};
        int result = withHandle(live -> send(live, bytes, length, millis, count));
        if (Trace.on()) Trace.dump(portName, "write", result, data, offset, length);
        check("Write", result);
        watch.wrote();
        return count[0];
    }

    /**
     * The meaning of the service's two send arguments, in this one place: the simulator reads the
     * first as the byte count and the second as a timeout in milliseconds. A service with another
     * convention changes this line only.
     */
    private static int send(long handle, byte[] bytes, int length, int timeoutMillis, int[] count) {
        return PortHandlerIO.Write(handle, bytes, length, timeoutMillis, count);
    }

    private static int timeoutMillis(Duration timeout) {
        if (timeout.isNegative() || timeout.compareTo(Duration.ofMillis(Integer.MAX_VALUE)) > 0) {
            throw new IllegalArgumentException("timeout out of range: " + timeout);
        }
        return (int) timeout.toMillis();
    }

    /**
     * Takes what has been received, up to the array's length, without waiting. Safe from any
     * thread.
     *
     * @param data receives the bytes from index 0
     * @return the number of bytes taken, 0 when none were waiting
     * @throws PortException {@link ResultCode#BUFFER_OVERFLOW} once after received data was
     *     lost because nobody read it in time; what was waiting is discarded with it
     * @throws IllegalStateException when the port is closed
     */
    public int read(byte[] data) {
        return read(data, 0, data.length);
    }

    /**
     * Takes what has been received, up to {@code length} bytes, without waiting. Safe from any
     * thread.
     *
     * @param data receives the bytes
     * @param offset where the first byte goes
     * @param length the most bytes to take
     * @return the number of bytes taken, 0 when none were waiting
     * @throws IndexOutOfBoundsException when the range does not lie within the array
     * @throws PortException {@link ResultCode#BUFFER_OVERFLOW} once after received data was
     *     lost because nobody read it in time; what was waiting is discarded with it
     * @throws IllegalStateException when the port is closed or has data listeners
     */
    public int read(byte[] data, int offset, int length) {
        checkRange(data, offset, length);
        return watch.take(data, offset, length);
    }

    /**
     * Takes received bytes, waiting up to a timeout for the first: returns as soon as at least
     * one is there, with what is there up to {@code length}. The JVM's receive thread polls for
     * it (see {@link #setReceivePolling}). Safe from any thread; a close from another thread ends
     * the wait with {@link IllegalStateException}.
     *
     * @param data receives the bytes
     * @param offset where the first byte goes
     * @param length the most bytes to take
     * @param timeout how long to wait at most; zero does not wait
     * @return the number of bytes taken, 0 when none came in time (or length is 0)
     * @throws IndexOutOfBoundsException when the range does not lie within the array
     * @throws IllegalArgumentException when the timeout is negative
     * @throws InterruptedException when the thread is interrupted while waiting
     * @throws PortException as {@link #read(byte[], int, int)}
     * @throws IllegalStateException when the port is or becomes closed, or has data listeners
     */
    public int read(byte[] data, int offset, int length, Duration timeout) throws InterruptedException {
        checkRange(data, offset, length);
        return watch.read(data, offset, length, nanos(timeout));
    }

    /** A timeout in nanoseconds, the longest ones cut to about 292 years. */
    static long nanos(Duration timeout) {
        if (timeout.isNegative()) throw new IllegalArgumentException("negative timeout " + timeout);
        return timeout.getSeconds() >= Long.MAX_VALUE / 1_000_000_000L - 1 ? Long.MAX_VALUE : timeout.toNanos();
    }

    private static void checkRange(byte[] data, int offset, int length) {
        if (offset < 0 || length < 0 || offset > data.length - length) {
            throw new IndexOutOfBoundsException(
                    "range [" + offset + ", " + offset + " + " + length + ") out of bounds for length " + data.length);
        }
    }

    /**
     * Sets the read timeout of the {@link #getInputStream() input stream}. Safe from any thread;
     * reads already waiting keep theirs.
     *
     * @param timeout zero (the default) to wait without limit, else how long a stream read waits
     *     for its first byte
     */
    public void setReadTimeout(Duration timeout) {
        nanos(timeout);  // refuses a negative one now
        readTimeout = timeout;
    }

    /**
     * The read timeout of the {@link #getInputStream() input stream}. Safe from any thread.
     *
     * @return the timeout; zero for none
     */
    public Duration readTimeout() {
        return readTimeout;
    }

    /**
     * A stream of the port's received bytes. Its {@code read} waits as {@link #read(byte[], int,
     * int, Duration)} does, with the port's {@link #setReadTimeout read timeout}: when the time is
     * up it throws {@link java.io.InterruptedIOException} (a stream may not return 0), as it does
     * when the thread is interrupted, with the interrupt status set again. It never reaches an
     * end of stream: a closed port, a lost-data report and any failure are {@link
     * java.io.IOException}s with the cause. {@code available()} counts the bytes already taken
     * from the library into Java; when there are none it takes what the library holds, without
     * waiting (the library tells how many bytes it holds only by handing them over), so 0 means
     * none had arrived. Closing the stream leaves the port open. Each call gives a new stream
     * over the same bytes.
     *
     * @return the input stream
     */
    public InputStream getInputStream() {
        return new PortInputStream(this, watch);
    }

    /**
     * A stream that sends through the port with its write timeout; a write returns when every
     * byte was sent, and failures are {@link java.io.IOException}s with the cause. Closing it
     * leaves the port open.
     *
     * @return the output stream
     */
    public OutputStream getOutputStream() {
        return new PortOutputStream(this);
    }

    /**
     * Adds a listener for every block of data, as the library hands them over. Safe from any
     * thread. Listeners are called on the JVM's one receive thread, in the order the bytes
     * arrived, until {@link #close()} or removal; the port's listeners each get every byte, in
     * the order they were added.
     *
     * @param listener the listener
     * @throws IllegalStateException when the port is closed
     */
    public void addDataListener(DataListener listener) {
        watch.add(new BlockFramer(portName, Objects.requireNonNull(listener, "listener")));
    }

    /**
     * Adds a listener for messages ended by a delimiter, given without it. Bytes after the last
     * delimiter wait for the next one; a message grows until its delimiter comes. Otherwise as
     * {@link #addDataListener(DataListener)}.
     *
     * @param delimiter the bytes that end a message, at least one
     * @param listener the listener
     * @throws IllegalArgumentException when the delimiter is empty
     * @throws IllegalStateException when the port is closed
     */
    public void addDataListener(byte[] delimiter, DataListener listener) {
        watch.add(new DelimiterFramer(portName, Objects.requireNonNull(listener, "listener"), delimiter));
    }

    /**
     * Adds a listener for packets of a fixed length. Otherwise as {@link
     * #addDataListener(DataListener)}.
     *
     * @param packetLength the length of every packet, at least 1
     * @param listener the listener
     * @throws IllegalArgumentException when the length is below 1
     * @throws IllegalStateException when the port is closed
     */
    public void addDataListener(int packetLength, DataListener listener) {
        watch.add(new PacketFramer(portName, Objects.requireNonNull(listener, "listener"), packetLength));
    }

    /**
     * Removes a data listener; it may be in a call that has begun, and is not called after that.
     * Safe from any thread.
     *
     * @param listener the listener, as added (one addition is removed)
     * @return whether it was there
     */
    public boolean removeDataListener(DataListener listener) {
        return watch.removeData(listener);
    }

    /**
     * Adds a listener for the changes of {@link #powerState()}, polled every {@link
     * #POWER_POLL_INTERVAL} on the JVM's receive thread. Safe from any thread.
     *
     * @param listener the listener
     * @throws IllegalStateException when the port is closed
     */
    public void addPowerListener(PowerListener listener) {
        watch.add(Objects.requireNonNull(listener, "listener"));
    }

    /**
     * Removes a power listener, as {@link #removeDataListener} does.
     *
     * @param listener the listener, as added
     * @return whether it was there
     */
    public boolean removePowerListener(PowerListener listener) {
        return watch.removePower(listener);
    }

    /** The one path of every read from the library. */
    private int read(byte[] data, int maximum) {
        int[] count = {0};
        int result = withHandle(live -> PortHandlerIO.Read(live, data, maximum, count));
        if ((count[0] > 0 || result != 0) && Trace.on()) Trace.dump(portName, "read", result, data, 0, count[0]);
        check("Read", result);
        return count[0];
    }

    /**
     * Fills the array with received bytes, waiting for them up to a timeout, as {@link
     * #read(byte[], int, int, Duration)} does. A timeout is a checked {@link TimeoutException}
     * because running out of time is an outcome a caller with a deadline plans for, unlike the
     * failures of {@link PortException}. Safe from any thread; a close from another thread ends
     * the wait with {@link IllegalStateException}.
     *
     * @param data the array to fill
     * @param timeout how long to wait at most
     * @throws ReadTimeoutException when the array is not full in time; the bytes that did
     *     arrive are at its start, and {@link ReadTimeoutException#received()} says how many
     * @throws InterruptedException when the thread is interrupted while waiting
     * @throws PortException when a read fails
     * @throws IllegalStateException when the port is or becomes closed, or has data listeners
     */
    public void readFully(byte[] data, Duration timeout) throws ReadTimeoutException, InterruptedException {
        final long deadline = System.nanoTime() + nanos(timeout);
        int got = 0;
        while (got < data.length) {
            got += watch.read(data, got, data.length - got, Math.max(0, deadline - System.nanoTime()));
            if (got < data.length && deadline - System.nanoTime() <= 0) {
                throw new ReadTimeoutException(got, data.length, timeout);
            }
        }
    }

    /**
     * Discards every received byte not yet read, and a pending overflow report. Safe from any
     * thread.
     *
     * @throws IllegalStateException when the port is closed
     */
    public void clear() {
        check("Clear", withHandle(PortHandlerIO::Clear));
    }

    /**
     * Reads a port property. Safe from any thread.
     *
     * @param id the property id
     * @return its value
     * @throws PortException when the service refuses
     * @throws IllegalStateException when the port is closed
     */
    public long getProperty(int id) {
        long[] value = {0};
        check("GetProperty", withHandle(live -> PortHandlerIO.GetProperty(live, id, value)));
        return value[0];
    }

    /**
     * Writes a port property. Safe from any thread.
     *
     * @param selector1 the service's first selector
     * @param selector2 the service's second selector (the property id)
     * @param value the value
     * @throws PortException when the service refuses
     * @throws IllegalStateException when the port is closed
     */
    public void setProperty(int selector1, int selector2, long value) {
        check("SetProperty", withHandle(live -> PortHandlerIO.SetProperty(live, selector1, selector2, value)));
    }

    /**
     * Reads a device capability. Safe from any thread.
     *
     * @param id the capability id
     * @return its value
     * @throws PortException when the service refuses
     * @throws IllegalStateException when the port is closed
     */
    public long getCapability(int id) {
        long[] value = {0};
        check("GetCapability", withHandle(live -> PortHandlerIO.GetCapability(live, id, value)));
        return value[0];
    }

    /**
     * Resets the device. Safe from any thread.
     *
     * @param argument the service's reset argument
     * @throws PortException when the service refuses
     * @throws IllegalStateException when the port is closed
     */
    public void resetDevice(int argument) {
        check("ResetDevice", withHandle(live -> PortHandlerIO.ResetDevice(live, argument)));
    }

    /**
     * Passes a control request; see {@link PortHandlerIO#IOCtl} for the codes the library serves
     * itself. The library checks both lengths against the arrays. Safe from any thread.
     *
     * @param code the request code
     * @param input the input bytes; may be null
     * @param inputLength the number of input bytes
     * @param output the output bytes; may be null
     * @param outputLength the number of output bytes (the capacity of a get)
     * @return the number of output bytes written
     * @throws PortException when the library or the service refuses
     * @throws IllegalStateException when the port is closed
     */
    public int ioctl(int code, byte[] input, int inputLength, byte[] output, int outputLength) {
        return ioctl("IOCtl", code, input, inputLength, output, outputLength);
    }

    private int ioctl(String operation, int code, byte[] input, int inputLength, byte[] output,
            int outputLength) {
        int[] count = {0};
        check(operation,
                withHandle(live -> PortHandlerIO.IOCtl(live, code, input, inputLength, output, outputLength, count)));
        return count[0];
    }

    /**
     * Reads a number custom value of the port. Keys travel as UTF-8 without a terminating 0 (the
     * library adds one), here and in every custom-value method. Safe from any thread.
     *
     * @param key the key
     * @return the value, the 4 bytes the library returns read little-endian
     * @throws PortException when the value is absent or the library refuses
     * @throws IllegalStateException when the port is closed
     * @see #findNumber(String)
     */
    public int getNumber(String key) {
        byte[] k = keyBytes(key);
        byte[] v = new byte[4];
        ioctl("getNumber", GET_NUMBER, k, k.length, v, 4);
        return (v[0] & 0xFF) | (v[1] & 0xFF) << 8 | (v[2] & 0xFF) << 16 | (v[3] & 0xFF) << 24;
    }

    /**
     * Stores a number custom value of the port. Safe from any thread.
     *
     * @param key the key
     * @param value the value
     * @throws PortException when the library refuses
     * @throws IllegalStateException when the port is closed
     */
    public void setNumber(String key, int value) {
        byte[] k = keyBytes(key);
        byte[] v = {(byte) value, (byte) (value >> 8), (byte) (value >> 16), (byte) (value >> 24)};
        ioctl("setNumber", SET_NUMBER, k, k.length, v, 4);
    }

    /**
     * Reads a string custom value of the port, UTF-8, with a buffer of the given capacity (the
     * string's terminating 0 needs a byte). Safe from any thread.
     *
     * @param key the key
     * @param capacity the buffer's size in bytes
     * @return the value
     * @throws IllegalArgumentException when the capacity is negative
     * @throws PortException {@link ResultCode#BUFFER_OVERFLOW} when the value does not fit (the
     *     library does not pass the length it needs back), or when absent or refused
     * @throws IllegalStateException when the port is closed
     */
    public String getString(String key, int capacity) {
        return new String(getBytes("getString", GET_STRING, keyBytes(key), capacity), StandardCharsets.UTF_8);
    }

    /**
     * Reads a string custom value of whatever length up to {@link #MAX_VALUE_CAPACITY}: tries a
     * 256-byte buffer first and doubles it while the value does not fit. Safe from any thread.
     *
     * @param key the key
     * @return the value
     * @throws PortException when the value is absent or refused, or still does not fit
     * @throws IllegalStateException when the port is closed
     */
    public String getString(String key) {
        byte[] v = grownGet("getString", GET_STRING, key);
        return new String(v, StandardCharsets.UTF_8);
    }

    /**
     * Stores a string custom value of the port, UTF-8. Safe from any thread.
     *
     * @param key the key
     * @param value the value; a 0 character would end it early
     * @throws PortException when the library refuses
     * @throws IllegalStateException when the port is closed
     */
    public void setString(String key, String value) {
        byte[] k = keyBytes(key);
        byte[] v = value.getBytes(StandardCharsets.UTF_8);
        ioctl("setString", SET_STRING, k, k.length, v, v.length);
    }

    /**
     * Reads a binary custom value of the port with a buffer of the given capacity. Safe from any
     * thread.
     *
     * @param key the key
     * @param capacity the buffer's size in bytes
     * @return the value
     * @throws IllegalArgumentException when the capacity is negative
     * @throws PortException {@link ResultCode#BUFFER_OVERFLOW} when the value does not fit, or
     *     when absent or refused
     * @throws IllegalStateException when the port is closed
     */
    public byte[] getBinary(String key, int capacity) {
        return getBytes("getBinary", GET_BINARY, keyBytes(key), capacity);
    }

    /**
     * Reads a binary custom value of whatever length up to {@link #MAX_VALUE_CAPACITY}, as
     * {@link #getString(String)} does. Safe from any thread.
     *
     * @param key the key
     * @return the value
     * @throws PortException when the value is absent or refused, or still does not fit
     * @throws IllegalStateException when the port is closed
     */
    public byte[] getBinary(String key) {
        return grownGet("getBinary", GET_BINARY, key);
    }

    // Absent custom values. -10 (service result 0x8000000B) is how the simulator answers a key it
    // does not hold; the port service itself documents no result for that, so the find methods
    // rely on the simulator's convention and say so.

    /**
     * Reads a number custom value that may be absent. Safe from any thread.
     *
     * <p>Absent means {@link ResultCode#SERVICE_8000000B} (-10): that is the port-service
     * simulator's answer for a key it does not hold; whether a real port service answers the same
     * is not known to this library.
     *
     * @param key the key
     * @return the value, or empty when the service answers -10
     * @throws PortException when the library or the service refuses otherwise
     * @throws IllegalStateException when the port is closed
     */
    public OptionalInt findNumber(String key) {
        try {
            return OptionalInt.of(getNumber(key));
        } catch (PortException e) {
            if (!absent(e)) throw e;
            return OptionalInt.empty();
        }
    }

    /**
     * Reads a string custom value of whatever length, as {@link #getString(String)} does, that
     * may be absent (-10, as {@link #findNumber(String)} says). Safe from any thread.
     *
     * @param key the key
     * @return the value, or empty when the service answers -10
     * @throws PortException when the library or the service refuses otherwise, or the value does
     *     not fit in {@link #MAX_VALUE_CAPACITY}
     * @throws IllegalStateException when the port is closed
     */
    public Optional<String> findString(String key) {
        try {
            return Optional.of(getString(key));
        } catch (PortException e) {
            if (!absent(e)) throw e;
            return Optional.empty();
        }
    }

    /**
     * Reads a binary custom value of whatever length, as {@link #getBinary(String)} does, that
     * may be absent (-10, as {@link #findNumber(String)} says). Safe from any thread.
     *
     * @param key the key
     * @return the value, or empty when the service answers -10
     * @throws PortException when the library or the service refuses otherwise, or the value does
     *     not fit in {@link #MAX_VALUE_CAPACITY}
     * @throws IllegalStateException when the port is closed
     */
    public Optional<byte[]> findBinary(String key) {
        try {
            return Optional.of(getBinary(key));
        } catch (PortException e) {
            if (!absent(e)) throw e;
            return Optional.empty();
        }
    }

    private static boolean absent(PortException e) {
        return e.result() == ResultCode.SERVICE_8000000B;
    }

    /**
     * Stores a binary custom value of the port. Safe from any thread.
     *
     * @param key the key
     * @param value the value
     * @throws PortException when the library refuses
     * @throws IllegalStateException when the port is closed
     */
    public void setBinary(String key, byte[] value) {
        byte[] k = keyBytes(key);
        ioctl("setBinary", SET_BINARY, k, k.length, value, value.length);
    }

    private static byte[] keyBytes(String key) {
        return key.getBytes(StandardCharsets.UTF_8);
    }

    /** One string or binary get, trusting the count the library reports only within the buffer. */
    private byte[] getBytes(String operation, int code, byte[] key, int capacity) {
        if (capacity < 0) throw new IllegalArgumentException(operation + ": capacity is negative: " + capacity);
        byte[] v = new byte[capacity];
        return received(operation, v, ioctl(operation, code, key, key.length, v, capacity));
    }

    /** The bytes a get received: refuses a count outside the buffer instead of cutting or padding. */
    static byte[] received(String operation, byte[] buffer, int count) {
        if (count < 0 || count > buffer.length) {
            throw new PortException(operation, ResultCode.UNEXPECTED,
                    "the library reported " + count + " bytes for a buffer of " + buffer.length);
        }
        return count == buffer.length ? buffer : Arrays.copyOf(buffer, count);
    }

    private byte[] grownGet(String operation, int code, String key) {
        byte[] k = keyBytes(key);
        for (int capacity = FIRST_CAPACITY; ; capacity *= 2) {
            try {
                return getBytes(operation, code, k, capacity);
            } catch (PortException e) {
                if (e.result() != ResultCode.BUFFER_OVERFLOW || capacity >= MAX_VALUE_CAPACITY) throw e;
            }
        }
    }

    /**
     * Polls the device's power, and takes the port lock again if the service reported it lost.
     * Safe from any thread.
     *
     * @return the power state; {@link PowerState#UNKNOWN} for a port that is not watched
     * @throws IllegalStateException when the port is closed
     */
    public PowerState powerState() {
        return PowerState.of(withHandle(PortHandlerIO::checkOstrelPowerStatus));
    }

    /**
     * Closes the port. A second close does nothing. Safe from any thread: it does not wait for
     * the calls in progress on this port (a write blocked in the service returns with the send's
     * result), and those calls, if the close reaches them, and every call after it throw {@link
     * IllegalStateException}.
     *
     * @throws PortException when the library reports a failing step; the port is closed anyway
     */
    @Override
    public void close() {
        long closing = handle.take();
        if (closing == 0) return;
        reaper.forget();
        watch.close();  // listeners and waiting readers go at once, whatever they are doing
        check("Close", PortHandlerIO.Close(closing));
    }

    @Override
    public String toString() {
        return "DevicePort[" + portName + ", type " + deviceType + (isOpen() ? "]" : ", closed]");
    }

    /** Runs a native call with the live handle; throws when closed before or during the call. */
    private int withHandle(LongToIntFunction nativeCall) {
        int result = handle.call(nativeCall);
        if (handle == null) throw new AssertionError();  // the read that keeps this port reachable
        return result;
    }

    private static void check(String operation, int code) {
        if (code != 0) throw new PortException(operation, ResultCode.of(code));
    }
}
