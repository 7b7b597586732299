import java.io.File;
import org.apache.catalina.connector.Connector;
import org.apache.catalina.startup.Tomcat;

/**
 * The Java sample's natural server for the benchmark: an embedded Tomcat serving one exploded web
 * application as its root context on an HTTP connector, configured like the module's in-process
 * Tomcat (loopback address, 64 threads, 20 s connection timeout).
 *
 *   java -cp ... PlainTomcat PORT WEBAPP_DIR BASE_DIR
 */
public final class PlainTomcat {
    private PlainTomcat() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 3) {
            System.err.println("usage: PlainTomcat PORT WEBAPP_DIR BASE_DIR");
            System.exit(2);
        }
        File base = new File(args[2]).getAbsoluteFile();
        new File(base, "webapps").mkdirs();
        Tomcat tomcat = new Tomcat();
        tomcat.setBaseDir(base.getPath());
        Connector connector = new Connector("HTTP/1.1");
        connector.setPort(Integer.parseInt(args[0]));
        connector.setProperty("address", "127.0.0.1");
        connector.setProperty("maxThreads", "64");
        connector.setProperty("connectionTimeout", "20000");
        tomcat.setConnector(connector);
        tomcat.addWebapp("", new File(args[1]).getAbsolutePath());
        tomcat.start();
        tomcat.getServer().await();
    }
}
