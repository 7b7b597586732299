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
