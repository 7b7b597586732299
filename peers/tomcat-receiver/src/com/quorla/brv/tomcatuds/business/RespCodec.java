package com.quorla.brv.tomcatuds.business;

import java.io.ByteArrayOutputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/** The gateway's framing: an array of byte strings, "*" count then "$" length and bytes, CR LF. */
final class RespCodec {
    /** Longest frame element accepted from the gateway; a request body is far below it. */
    static final int MAX_ELEMENT_BYTES = 64 * 1024 * 1024;
    static final int MAX_ELEMENTS = 64;
    private static final int MAX_HEADER_BYTES = 32;

    private RespCodec() {
    }

    static byte[] encode(String... parts) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        writeAscii(out, "*" + parts.length + "\r\n");
        for (String part : parts) {
            byte[] bytes = part.getBytes(StandardCharsets.UTF_8);
            writeAscii(out, "$" + bytes.length + "\r\n");
            out.write(bytes, 0, bytes.length);
            writeAscii(out, "\r\n");
        }
        return out.toByteArray();
    }

    /**
     * The "responsereq" frame of an answer: the body goes as its bytes when they are well-formed
     * UTF-8, else as a String round trip makes them (each malformed sequence a U+FFFD), so that
     * the frame never carries what the gateway cannot take as text.
     */
    static byte[] encodeReply(String clientId, String requestId, int status, byte[] body, int length) {
        if (!wellFormedUtf8(body, length)) {
            body = new String(body, 0, length, StandardCharsets.UTF_8).getBytes(StandardCharsets.UTF_8);
            length = body.length;
        }
        byte[][] head = {"responsereq".getBytes(StandardCharsets.US_ASCII), clientId.getBytes(StandardCharsets.UTF_8),
                requestId.getBytes(StandardCharsets.UTF_8), Integer.toString(status).getBytes(StandardCharsets.US_ASCII)};
        byte[] bodyHeader = ("$" + length + "\r\n").getBytes(StandardCharsets.US_ASCII);
        byte[] tail = "\r\n$0\r\n\r\n".getBytes(StandardCharsets.US_ASCII);
        ByteArrayOutputStream start = new ByteArrayOutputStream(128);
        writeAscii(start, "*6\r\n");
        for (byte[] part : head) {
            writeAscii(start, "$" + part.length + "\r\n");
            start.write(part, 0, part.length);
            writeAscii(start, "\r\n");
        }
        start.write(bodyHeader, 0, bodyHeader.length);
        // One array of the frame's exact size: a large body is copied once, not grown into.
        byte[] frame = new byte[start.size() + length + tail.length];
        byte[] prefix = start.toByteArray();
        System.arraycopy(prefix, 0, frame, 0, prefix.length);
        System.arraycopy(body, 0, frame, prefix.length, length);
        System.arraycopy(tail, 0, frame, prefix.length + length, tail.length);
        return frame;
    }

    /** True when b[0, length) is well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF). */
    static boolean wellFormedUtf8(byte[] b, int length) {
        int i = 0;
        while (i < length) {
            int c = b[i] & 0xff;
            if (c < 0x80) {
                i++;
                continue;
            }
            int more;
            int low = 0x80;
            int high = 0xbf;
            if (c >= 0xc2 && c <= 0xdf) {
                more = 1;
            } else if (c >= 0xe0 && c <= 0xef) {
                more = 2;
                low = c == 0xe0 ? 0xa0 : 0x80;
                high = c == 0xed ? 0x9f : 0xbf;
            } else if (c >= 0xf0 && c <= 0xf4) {
                more = 3;
                low = c == 0xf0 ? 0x90 : 0x80;
                high = c == 0xf4 ? 0x8f : 0xbf;
            } else {
                return false;
            }
            if (length - i <= more) {
                return false;
            }
            int second = b[i + 1] & 0xff;
            if (second < low || second > high) {
                return false;
            }
            for (int k = 2; k <= more; k++) {
                if ((b[i + k] & 0xc0) != 0x80) {
                    return false;
                }
            }
            i += more + 1;
        }
        return true;
    }

    /** Reads one frame; a malformed one throws, since the stream position is then unknown. */
    static List<String> decode(InputStream in) throws IOException {
        String header = readLine(in);
        if (!header.startsWith("*")) {
            throw new IOException("bad frame header " + header);
        }
        int count = parseNumber(header);
        if (count < 0 || count > MAX_ELEMENTS) {
            throw new IOException("bad element count " + header);
        }
        List<String> parts = new ArrayList<>(count);
        for (int i = 0; i < count; i++) {
            String lenLine = readLine(in);
            if (!lenLine.startsWith("$")) {
                throw new IOException("bad element header " + lenLine);
            }
            int len = parseNumber(lenLine);
            if (len < 0 || len > MAX_ELEMENT_BYTES) {
                throw new IOException("bad element length " + lenLine);
            }
            byte[] bytes = in.readNBytes(len);
            if (bytes.length != len) {
                throw new EOFException("frame cut short");
            }
            if (in.read() != '\r' || in.read() != '\n') {
                throw new IOException("element not closed by CR LF");
            }
            parts.add(new String(bytes, StandardCharsets.UTF_8));
        }
        return parts;
    }

    private static int parseNumber(String line) throws IOException {
        try {
            return Integer.parseInt(line.substring(1));
        } catch (NumberFormatException e) {
            throw new IOException("bad number in " + line, e);
        }
    }

    private static String readLine(InputStream in) throws IOException {
        StringBuilder sb = new StringBuilder();
        for (;;) {
            int c = in.read();
            if (c < 0) {
                throw new EOFException("connection closed");
            }
            if (c == '\n') {
                int n = sb.length();
                if (n == 0 || sb.charAt(n - 1) != '\r') {
                    throw new IOException("header line without CR");
                }
                return sb.substring(0, n - 1);
            }
            if (sb.length() > MAX_HEADER_BYTES) {
                throw new IOException("header line too long");
            }
            sb.append((char) c);
        }
    }

    private static void writeAscii(ByteArrayOutputStream out, String text) {
        byte[] b = text.getBytes(StandardCharsets.US_ASCII);
        out.write(b, 0, b.length);
    }
}
