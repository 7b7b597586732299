package com.quorla.demo;

import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;

/**
 * Greets the caller; shows that the module's environment files and launch arguments reached the
 * Java VM. The answer ends with a tag naming the build that served it: the system property
 * demo.tag (VmArgs "vmArgs->... -Ddemo.tag=2.0"), else the environment variable DEMO_TAG
 * (VmArgs "export->DEMO_TAG=2.0"), else "1.0".
 */
public class HelloServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;

    @Override
    protected void doGet(HttpServletRequest req, HttpServletResponse resp) throws IOException {
        String name = req.getParameter("name");
        String greeting = System.getenv("DEMO_GREETING");
        resp.setContentType("text/plain;charset=UTF-8");
        resp.getWriter().write((greeting == null ? "hello" : greeting) + " "
                + (name == null || name.isEmpty() ? "world" : name)
                + " from tomcatdemo pid " + ProcessHandle.current().pid() + " (tomcatdemo " + tag() + ")");
    }

    private static String tag() {
        String tag = System.getProperty("demo.tag");
        if (tag == null || tag.isEmpty()) {
            tag = System.getenv("DEMO_TAG");
        }
        return tag == null || tag.isEmpty() ? "1.0" : tag;
    }
}
