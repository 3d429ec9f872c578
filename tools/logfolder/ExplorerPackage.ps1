# The Explorer command's package for every user of the machine: OrnShExt.msix
# in the install folder, whose external location is that folder. Run by the
# installer's package actions (ExplorerPackageAction.cpp), which pass every
# value through the environment and none through a command line:
#   ORN_PACKAGE_STEP    Provision: stage with the external location and
#                         provision for all users (as LocalSystem)
#                       Register: register for the installing user, who then
#                         needs no new sign-in (as that user)
#                       Remove: deprovision and remove for all users (as
#                         LocalSystem)
#   ORN_INSTALL_FOLDER  the install folder
# A failure ends the script with its error on standard error and exit code 1.
$ErrorActionPreference = 'Stop'
try {
    $folder = $env:ORN_INSTALL_FOLDER
    $packagePath = Join-Path $folder 'OrnShExt.msix'

    # The package's name and publisher, from its own manifest.
    Add-Type -AssemblyName System.IO.Compression.FileSystem
    $zip = [System.IO.Compression.ZipFile]::OpenRead($packagePath)
    try {
        $reader = New-Object System.IO.StreamReader($zip.GetEntry('AppxManifest.xml').Open())
        try { $manifest = [xml]$reader.ReadToEnd() } finally { $reader.Dispose() }
    } finally { $zip.Dispose() }
    $name = $manifest.Package.Identity.Name
    $publisher = $manifest.Package.Identity.Publisher

    # Windows' package manager; its operations are awaited as tasks.
    Add-Type -AssemblyName System.Runtime.WindowsRuntime
    $null = [Windows.Management.Deployment.PackageManager, Windows.Management.Deployment, ContentType = WindowsRuntime]
    $asTask = [System.WindowsRuntimeSystemExtensions].GetMethods() | Where-Object {
        $_.Name -eq 'AsTask' -and $_.GetParameters().Count -eq 1 -and
        $_.GetParameters()[0].ParameterType.Name -eq 'IAsyncOperationWithProgress`2' } | Select-Object -First 1
    $asTask = $asTask.MakeGenericMethod([Windows.Management.Deployment.DeploymentResult],
                                        [Windows.Management.Deployment.DeploymentProgress])
    function Wait-Deployment($operation, $what) {
        $task = $asTask.Invoke($null, @($operation))
        $null = $task.Wait(-1)
        $result = $task.Result
        if ($result.ExtendedErrorCode) {
            throw ('{0} failed: {1} (0x{2:X8})' -f $what, $result.ErrorText, $result.ExtendedErrorCode.HResult)
        }
    }
    $manager = New-Object Windows.Management.Deployment.PackageManager
    # Staged and registered packages of this name and publisher, for any user.
    function Get-OurPackages {
        Get-AppxPackage -AllUsers -Name $name | Where-Object { $_.Publisher -eq $publisher }
    }

    switch ($env:ORN_PACKAGE_STEP) {
        'Provision' {
            $options = New-Object Windows.Management.Deployment.StagePackageOptions
            $options.ExternalLocationUri = New-Object System.Uri($folder)
            Wait-Deployment $manager.StagePackageByUriAsync((New-Object System.Uri($packagePath)), $options) 'Staging'
            $package = Get-OurPackages | Select-Object -First 1
            if (-not $package) { throw "Staging left no package $name" }
            Wait-Deployment $manager.ProvisionPackageForAllUsersAsync($package.PackageFamilyName) 'Provisioning'
        }
        'Register' {
            Add-AppxPackage -Path $packagePath -ExternalLocation $folder
        }
        'Remove' {
            foreach ($package in @(Get-OurPackages)) {
                # Deprovisioned first, or the next sign-in adds it back.
                try {
                    Wait-Deployment $manager.DeprovisionPackageForAllUsersAsync($package.PackageFamilyName) 'Deprovisioning'
                } catch {
                    [Console]::Error.WriteLine($_.ToString())
                }
                Remove-AppxPackage -Package $package.PackageFullName -AllUsers
            }
        }
        default { throw "Unknown step '$($env:ORN_PACKAGE_STEP)'" }
    }
} catch {
    [Console]::Error.WriteLine($_.ToString())
    exit 1
}
