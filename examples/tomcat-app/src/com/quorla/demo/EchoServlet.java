package com.quorla.demo;

import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.nio.charset.StandardCharsets;

/**
 * Sends back the method and the request body. delayMs (at most 10 s) holds the answer back, so
 * a request can be kept in flight while the worker is asked to quit.
 */
public class EchoServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;
    private static final long MAX_DELAY_MS = 10000;

    @Override
    protected void service(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        // Read before any parameter lookup, which would take a form-encoded body for itself.
        String body = new String(req.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        long delay = 0;
        try {
            String d = req.getParameter("delayMs");
            delay = d == null ? 0 : Math.min(MAX_DELAY_MS, Math.max(0, Long.parseLong(d)));
        } catch (NumberFormatException e) {
            resp.sendError(400, "delayMs must be a number");
            return;
        }
        if (delay > 0) {
            try {
                Thread.sleep(delay);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        resp.setContentType("text/plain;charset=UTF-8");
        resp.getWriter().write(req.getMethod() + " " + body);
    }
}
