package com.quorla.demo;

import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;

/** Greets the caller; shows that the module's environment files reached the Java VM. */
public class HelloServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;

    @Override
    protected void doGet(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        String name = req.getParameter("name");
        String greeting = System.getenv("DEMO_GREETING");
        resp.setContentType("text/plain;charset=UTF-8");
        resp.getWriter().write((greeting == null ? "hello" : greeting) + " "
                + (name == null || name.isEmpty() ? "world" : name)
                + " from tomcatdemo pid " + ProcessHandle.current().pid());
    }
}
