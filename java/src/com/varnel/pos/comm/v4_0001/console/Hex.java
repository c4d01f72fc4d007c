package com.varnel.pos.comm.v4_0001.console;

/** Hex text for the console's dumps and its --hex arguments (the jar targets Java 8). */
final class Hex {
    private static final char[] DIGITS = "0123456789abcdef".toCharArray();

    private Hex() {}

    static String format(byte[] bytes) {
        return format(bytes, 0, bytes.length, "");
    }

    /** The bytes [offset, offset + length) as two lower-case digits each, joined by the delimiter. */
    static String format(byte[] bytes, int offset, int length, String delimiter) {
        StringBuilder text = new StringBuilder(length * (2 + delimiter.length()));
        for (int i = offset; i < offset + length; i++) {
            if (i > offset) text.append(delimiter);
            text.append(DIGITS[(bytes[i] >> 4) & 0xF]).append(DIGITS[bytes[i] & 0xF]);
        }
        return text.toString();
    }

    /** Pairs of hex digits, either case; an odd count or another character is refused. */
    static byte[] parse(String digits) {
        if (digits.length() % 2 != 0) {
            throw new IllegalArgumentException("odd number of hex digits: " + digits);
        }
        byte[] bytes = new byte[digits.length() / 2];
        for (int i = 0; i < bytes.length; i++) {
            int high = Character.digit(digits.charAt(2 * i), 16);
            int low = Character.digit(digits.charAt(2 * i + 1), 16);
            if (high < 0 || low < 0) throw new IllegalArgumentException("not hex: " + digits);
            bytes[i] = (byte) (high << 4 | low);
        }
        return bytes;
    }
}
