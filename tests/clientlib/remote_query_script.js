// A script client that prints the ports a server shares: "name=port" per line.
var library = new ActiveXObject("wharfcore.RemotePortLibrary");
var ports = library.getRemoteSharedPortsJs(WScript.Arguments(0));
for (var i = 0; i < ports.length; i++)
    WScript.Echo(ports[i].name + "=" + ports[i].port);
