/**
 * The port console, the jar's main class: {@code java -jar varnel-porthandler.jar COMMAND PORT}
 * probes a port, sends to it, listens to it, measures an echo, polls its power or reads and
 * writes its custom values, each step printed with its result.
 */
package com.varnel.pos.comm.v4_0001.console;
