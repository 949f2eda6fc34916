<#
.SYNOPSIS
Installs orvanehp.dll on this IIS server, or brings an installation up to date.

.DESCRIPTION
Run from the unpacked release zip, in Windows PowerShell 5.1 as administrator.
Each step first looks at what is there and changes only what differs; every
change is printed as "changed:", every step found in order as "ok:". Running
it again changes nothing.

  1. the ISAPI Extensions role service
  2. the installation: <InstallDir>\data, help, template (the example's files,
     never overwriting yours), isapi\orvanehp.dll, and an empty wwwroot\
     as the application's folder
  3. the application pool (32-bit applications enabled for the x86 DLL)
  4. the application <Site>/<Application> in that pool
  5. the DLL allowed in ISAPI and CGI Restrictions
  6. the handler: <Application>/orvanehp.dll runs the DLL (written into
     applicationHost.config, where the handlers section is not locked)
  7. anonymous requests run as the pool identity, so one account reads
  8. ORVANE_INSDIR: per pool on IIS 10, system-wide on older IIS
  9. read and execute rights on <InstallDir> for the pool identity

See iis.md, next to this script, for each step done by hand.

.NOTES
This script cannot be run on the machines this project is built and tested
on (Linux, without IIS or PowerShell's WebAdministration module); it has not
been run by the project's automated tests. Review it against the
WebAdministration cmdlet documentation before running it on a server.
#>
#Requires -Version 5.1
#Requires -RunAsAdministrator
[CmdletBinding()]
param(
    # The DLL to install: x64 for a 64-bit pool, x86 for a 32-bit one.
    [ValidateSet('x64', 'x86')]
    [string] $Architecture = 'x64',
    # The installation directory; the module's default needs no ORVANE_INSDIR.
    [string] $InstallDir = 'C:\Program Files\Orvane',
    [string] $Site = 'Default Web Site',
    [string] $Application = 'orvane',
    [string] $Pool = 'OrvanePool'
)
$ErrorActionPreference = 'Stop'

function Changed([string] $what) { Write-Host "changed: $what" }
function Unchanged([string] $what) { Write-Host "ok:      $what" }

$InstallDir = $InstallDir.TrimEnd('\')
$apphost = 'MACHINE/WEBROOT/APPHOST'
$location = "$Site/$Application"
$dll = Join-Path $InstallDir 'isapi\orvanehp.dll'
$webRoot = Join-Path $InstallDir 'wwwroot'

# 1. Role service: Windows Server has the ServerManager cmdlets, client
# editions of Windows have optional features instead. Add-WindowsFeature is
# the cmdlet's name on Windows Server 2008 R2 and an alias of
# Install-WindowsFeature from 2012 on.
if (Get-Command Get-WindowsFeature -ErrorAction SilentlyContinue) {
    if ((Get-WindowsFeature Web-ISAPI-Ext).Installed) {
        Unchanged 'role service Web-ISAPI-Ext is installed'
    } else {
        Add-WindowsFeature Web-ISAPI-Ext | Out-Null
        Changed 'installed role service Web-ISAPI-Ext'
    }
} else {
    if ((Get-WindowsOptionalFeature -Online -FeatureName IIS-ISAPIExtensions).State -eq 'Enabled') {
        Unchanged 'feature IIS-ISAPIExtensions is enabled'
    } else {
        Enable-WindowsOptionalFeature -Online -FeatureName IIS-ISAPIExtensions -All -NoRestart | Out-Null
        Changed 'enabled feature IIS-ISAPIExtensions'
    }
}
Import-Module WebAdministration

# 2. Files.
foreach ($dir in $InstallDir, (Split-Path $dll), $webRoot,
                 "$InstallDir\data", "$InstallDir\help", "$InstallDir\template") {
    if (-not (Test-Path $dir)) {
        New-Item -ItemType Directory -Path $dir | Out-Null
        Changed "created $dir"
    }
}
foreach ($page in 'help\nohp.html', 'template\dremerror.html') {
    $target = Join-Path $InstallDir $page
    if (Test-Path $target) {
        Unchanged "$target exists (left as it is)"
    } else {
        Copy-Item (Join-Path $PSScriptRoot "example\$page") $target
        Changed "copied the example's $page to $target"
    }
}

# The module finds the notice page by replacing "\template\dremerror.html"
# in err= with "\help\nohp.html", matching case exactly.
$ini = Join-Path $InstallDir 'data\dremgate_j.ini'
$errValue = "$InstallDir\template\dremerror.html"
if (Test-Path $ini) {
    $errLine = Select-String -Path $ini -Pattern '^\s*err\s*=' | Select-Object -First 1
    if ($errLine -and $errLine.Line.Contains('\template\dremerror.html')) {
        Unchanged "$ini names a template: $($errLine.Line)"
    } else {
        Write-Warning ("$ini has no err= line containing \template\dremerror.html " +
                       "(exactly this case, with backslashes): every answer will be the " +
                       "built-in error page. Expected: err=$errValue")
    }
} else {
    # UTF-16LE with a byte order mark: the Windows profile functions read it
    # whatever the system's ANSI code page, so any path survives.
    $text = "; orvane HP Translation: installation settings`r`n[Template]`r`nerr=$errValue`r`n"
    [System.IO.File]::WriteAllText($ini, $text, [System.Text.Encoding]::Unicode)
    Changed "wrote $ini with err=$errValue"
}

# The DLL stays loaded, and its file locked, while a worker process of its
# pool runs: stop the pool to replace it.
$newDll = Join-Path $PSScriptRoot "$Architecture\orvanehp.dll"
if ((Test-Path $dll) -and (Get-FileHash $dll).Hash -eq (Get-FileHash $newDll).Hash) {
    Unchanged "$dll is the $Architecture build of this release"
} else {
    $restart = (Test-Path "IIS:\AppPools\$Pool") -and (Get-WebAppPoolState -Name $Pool).Value -eq 'Started'
    if ($restart) {
        Stop-WebAppPool -Name $Pool
        Changed "stopped application pool $Pool to replace the DLL"
    }
    # A stopping worker process may hold the file for up to the pool's
    # shutdownTimeLimit (90 seconds by default).
    for ($attempt = 1; ; $attempt++) {
        try { Copy-Item $newDll $dll -Force; break }
        catch { if ($attempt -ge 120) { throw } ; Start-Sleep -Seconds 1 }
    }
    Changed "copied $newDll to $dll"
    if ($restart) {
        Start-WebAppPool -Name $Pool
        Changed "started application pool $Pool"
    }
}

# 3. Application pool.
$poolPath = "IIS:\AppPools\$Pool"
if (Test-Path $poolPath) {
    Unchanged "application pool $Pool exists"
} else {
    New-WebAppPool -Name $Pool | Out-Null
    Changed "created application pool $Pool"
}
$want32 = $Architecture -eq 'x86'
if ([Environment]::Is64BitOperatingSystem) {
    if ((Get-Item $poolPath).enable32BitAppOnWin64 -eq $want32) {
        Unchanged "$Pool has enable32BitAppOnWin64=$want32"
    } else {
        Set-ItemProperty $poolPath -Name enable32BitAppOnWin64 -Value $want32
        Changed "set enable32BitAppOnWin64=$want32 on $Pool"
    }
}

# 4. Application.
$app = Get-WebApplication -Site $Site -Name $Application
if (-not $app) {
    New-WebApplication -Site $Site -Name $Application -PhysicalPath $webRoot -ApplicationPool $Pool | Out-Null
    Changed "created application $location (folder $webRoot, pool $Pool)"
} elseif ($app.applicationPool -ne $Pool) {
    Set-ItemProperty "IIS:\Sites\$Site\$Application" -Name applicationPool -Value $Pool
    Changed "moved application $location into pool $Pool"
} else {
    Unchanged "application $location runs in pool $Pool"
}

# 5. ISAPI and CGI Restrictions.
$restrictions = 'system.webServer/security/isapiCgiRestriction'
$entry = Get-WebConfiguration -PSPath $apphost -Filter "$restrictions/add[@path='$dll']"
if (-not $entry) {
    Add-WebConfiguration -PSPath $apphost -Filter $restrictions -Value @{
        path = $dll; allowed = $true; description = 'orvane HP Translation CGI module' }
    Changed "allowed $dll in ISAPI and CGI Restrictions"
} elseif (-not $entry.allowed) {
    Set-WebConfigurationProperty -PSPath $apphost -Filter "$restrictions/add[@path='$dll']" `
        -Name allowed -Value $true
    Changed "allowed $dll in ISAPI and CGI Restrictions (it was listed as not allowed)"
} else {
    Unchanged "$dll is allowed in ISAPI and CGI Restrictions"
}

# 6. Handler, in a <location> of applicationHost.config: web.config may not
# set handlers on a default IIS.
$precondition = if ($want32) { 'bitness32' } else { 'bitness64' }
$handler = Get-WebHandler -Name orvanehp -PSPath $apphost -Location $location
$handlerSettings = @{
    Path = 'orvanehp.dll'; Verb = '*'; Modules = 'IsapiModule'; ScriptProcessor = $dll
    ResourceType = 'Unspecified'; RequiredAccess = 'Script'; Precondition = $precondition
    PSPath = $apphost; Location = $location }
if (-not $handler) {
    New-WebHandler -Name orvanehp @handlerSettings | Out-Null
    Changed "mapped $location/orvanehp.dll to $dll ($precondition)"
} elseif ($handler.scriptProcessor -ne $dll -or $handler.preCondition -ne $precondition) {
    Set-WebHandler -Name orvanehp @handlerSettings
    Changed "re-mapped $location/orvanehp.dll to $dll ($precondition)"
} else {
    Unchanged "$location/orvanehp.dll is mapped to $dll ($precondition)"
}

# 7. Anonymous requests run as the pool identity (an empty userName), not
# as IUSR: the module reads its files as that user.
$anonymous = 'system.webServer/security/authentication/anonymousAuthentication'
if ((Get-WebConfiguration -PSPath $apphost -Location $location -Filter $anonymous).userName -eq '') {
    Unchanged "anonymous requests to $location run as the pool identity"
} else {
    Set-WebConfigurationProperty -PSPath $apphost -Location $location -Filter $anonymous `
        -Name userName -Value ''
    Changed "anonymous requests to $location now run as the pool identity"
}

# 8. ORVANE_INSDIR. IIS 10 passes per-pool variables to the worker process;
# older IIS only has the system environment, which WAS reads when it starts.
$iisMajor = (Get-Item "$env:windir\System32\inetsrv\w3wp.exe").VersionInfo.FileMajorPart
if ($iisMajor -ge 10) {
    $variables = "system.applicationHost/applicationPools/add[@name='$Pool']/environmentVariables"
    $variable = Get-WebConfiguration -PSPath $apphost -Filter "$variables/add[@name='ORVANE_INSDIR']"
    if (-not $variable) {
        Add-WebConfigurationProperty -PSPath $apphost -Filter $variables -Name '.' `
            -Value @{ name = 'ORVANE_INSDIR'; value = $InstallDir }
        Changed "set ORVANE_INSDIR=$InstallDir for pool $Pool"
    } elseif ($variable.value -cne $InstallDir) {
        Set-WebConfigurationProperty -PSPath $apphost -Filter "$variables/add[@name='ORVANE_INSDIR']" `
            -Name value -Value $InstallDir
        Changed "set ORVANE_INSDIR=$InstallDir for pool $Pool (was $($variable.value))"
    } else {
        Unchanged "pool $Pool has ORVANE_INSDIR=$InstallDir"
    }
} else {
    $current = [Environment]::GetEnvironmentVariable('ORVANE_INSDIR', 'Machine')
    if ($current -ceq $InstallDir -or (-not $current -and $InstallDir -ceq 'C:\Program Files\Orvane')) {
        Unchanged "the worker process finds the installation at $InstallDir"
    } else {
        [Environment]::SetEnvironmentVariable('ORVANE_INSDIR', $InstallDir, 'Machine')
        Changed "set the system variable ORVANE_INSDIR=$InstallDir"
        Write-Warning ("Worker processes see the new value only after 'net stop was /y' and " +
                       "'net start w3svc' (this stops every site for a moment) or a reboot.")
    }
}

# 9. Read rights for the account the module reads as.
$model = (Get-Item $poolPath).processModel
$identity = switch ($model.identityType) {
    'ApplicationPoolIdentity' { "IIS AppPool\$Pool" }
    'SpecificUser' { $model.userName }
    'NetworkService' { 'NT AUTHORITY\NETWORK SERVICE' }
    'LocalService' { 'NT AUTHORITY\LOCAL SERVICE' }
    'LocalSystem' { 'NT AUTHORITY\SYSTEM' }
}
$readExecute = [System.Security.AccessControl.FileSystemRights]::ReadAndExecute
$granted = (Get-Acl $InstallDir).Access | Where-Object {
    $_.IdentityReference.Value -eq $identity -and $_.AccessControlType -eq 'Allow' -and
    ($_.FileSystemRights -band $readExecute) -eq $readExecute }
if ($granted) {
    Unchanged "$identity may read $InstallDir"
} else {
    icacls.exe $InstallDir /grant "${identity}:(OI)(CI)RX" | Out-Null
    if ($LASTEXITCODE -ne 0) { throw "icacls could not grant $identity read access to $InstallDir" }
    Changed "granted $identity read and execute on $InstallDir and everything in it"
}

Write-Host ''
Write-Host "Check: http://localhost/$Application/orvanehp.dll (see 'Verify' in iis.md)"
