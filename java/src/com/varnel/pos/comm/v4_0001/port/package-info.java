/**
 * Device ports for Java code: {@link com.varnel.pos.comm.v4_0001.port.DevicePort} opens one and
 * turns failures into {@link com.varnel.pos.comm.v4_0001.port.PortException}s carrying a
 * {@link com.varnel.pos.comm.v4_0001.port.ResultCode}; {@link
 * com.varnel.pos.comm.v4_0001.port.PowerState} reads a port's power.
 *
 * <p>Logging: the logger named for this package warns about ports closed because they became
 * unreachable, and traces every write and read as a hex dump at level FINEST.
 */
package com.varnel.pos.comm.v4_0001.port;
