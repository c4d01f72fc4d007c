/**
 * The native methods of the Varnel port handler bridge, {@link
 * com.varnel.pos.comm.v4_0001.PortHandlerIO}: thirteen static methods that return bridge result
 * codes and never throw. Use {@link com.varnel.pos.comm.v4_0001.port.DevicePort} unless a
 * device service needs the codes themselves.
 */
package com.varnel.pos.comm.v4_0001;
